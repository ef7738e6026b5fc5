#!/usr/bin/env bash
# Seeds for fuzz_tripledes: ciphertexts under the harness's key (two-key
# triple DES, zero IV) from the openssl command line, raw (first byte even)
# and as base64 text (first byte odd), written into the directory given.
set -euo pipefail
out=${1:?usage: seeds_tripledes.sh <dir>}
mkdir -p "$out"
i=0
for plain in "" "a" "eight by" "a text of more than two blocks"; do
  cipher=$(printf '%s' "$plain" | openssl enc -des-ede-cbc -K 30313233343536373839616263646566 -iv 0000000000000000 | base64 -w0)
  { printf '\000'; printf '%s' "$cipher" | base64 -d; } > "$out/raw$i"
  { printf '\001'; printf '%s' "$cipher"; } > "$out/text$i"
  i=$((i + 1))
done
