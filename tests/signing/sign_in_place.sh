#!/bin/sh
# A sign command as a publisher would hand it to scripts/build --sign-command:
# it signs the file named by its last argument in place, at the build's
# SOURCE_DATE_EPOCH, with a timestamp from TSA_URL. KEYS names the folder of
# test keys. -readpass /dev/stdin, because osslsigncode 2.5 refuses "-".
set -eu
printf '%s' "$LARKSPIRE_SIGN_PASSWORD" |
    osslsigncode sign -pkcs12 "$KEYS/publisher.pfx" -readpass /dev/stdin -h sha256 \
        -time "$SOURCE_DATE_EPOCH" -ts "$TSA_URL" -in "$1" -out "$1.signed" >/dev/null
mv "$1.signed" "$1"
