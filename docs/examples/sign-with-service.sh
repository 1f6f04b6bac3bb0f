#!/bin/sh
# A sign command for scripts/build --sign-command: signs "$1" in place with
# the key on a PKCS#11 token, reached through p11-kit's proxy. The PIN comes
# from LARKSPIRE_SIGN_PIN, never from a prompt. Set the three names below to
# your token, your CA's chain and your timestamp authority, or give them in
# the environment.
set -eu
uri=${SIGN_URI:-'pkcs11:token=larkspire-release;object=Larkspire'}
chain=${SIGN_CHAIN:-/etc/larkspire/chain.pem}
timestamp=${SIGN_TIMESTAMP:-http://timestamp.example}
printf '%s' "$LARKSPIRE_SIGN_PIN" |
    osslsigncode sign -pkcs11module /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so \
        -pkcs11cert "$uri" -key "$uri" -readpass /dev/stdin -ac "$chain" \
        -h sha256 -n 'Larkspire Windows' -i https://larkspire.game \
        -time "$SOURCE_DATE_EPOCH" -ts "$timestamp" -in "$1" -out "$1.signed"
mv "$1.signed" "$1"
