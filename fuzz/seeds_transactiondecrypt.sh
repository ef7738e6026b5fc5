#!/usr/bin/env bash
# Seeds for fuzz_transactiondecrypt: valid ciphertexts under the harness's
# base key (bytes 1..32), made with the openssl command line, for both
# directions ('c' + request keys, 'r' + response keys).
set -euo pipefail
out=${1:?usage: seeds_transactiondecrypt.sh <dir>}
mkdir -p "$out"
basekey=$(printf '%02X' $(seq 1 32))
mac() { printf '%s' "$1" | openssl mac -digest SHA256 -macopt hexkey:"$basekey" HMAC; }
n=0
for direction in c r; do
  if [ "$direction" = c ]; then prefix=request; else prefix=response; fi
  key=$(mac "${prefix}EncryptionKey")
  iv=$(mac "${prefix}InitVector" | cut -c1-32)
  for plain in "" "a" "fifteen chars.." "sixteen chars..." "nonce=abc&cdmUri=https%3A%2F%2Fx&tid=1&cid=2"; do
    n=$((n + 1))
    { printf '%s' "$direction"; printf '%s' "$plain" | openssl enc -aes-256-cbc -K "$key" -iv "$iv"; } > "$out/seed$n"
  done
done
