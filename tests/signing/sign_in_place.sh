#!/bin/sh
# A sign command as a publisher would hand it to scripts/build --sign-command:
# it signs the file named by its last argument in place. This one uses the
# test key and osslsigncode's built-in timestamp authority, so it needs no
# network. KEYS names the folder of test keys.
set -eu
printf '%s' "$LARKSPIRE_SIGN_PASSWORD" |
    osslsigncode sign -pkcs12 "$KEYS/publisher.pfx" -readpass - -h sha256 \
        -TSA-certs "$KEYS/tsa-chain.pem" -TSA-key "$KEYS/tsa.key" -TSA-time "$SOURCE_DATE_EPOCH" \
        -in "$1" -out "$1.signed" >/dev/null
mv "$1.signed" "$1"
