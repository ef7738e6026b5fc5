#!/usr/bin/env bash
# Seeds for fuzz_certcache: the PKCS#7 signatures of fuzz_pkcs7check's seeds
# and the OCSP responses of fuzz_ocspcheck's, into the directory given.
set -euo pipefail
out=${1:?usage: seeds_certcache.sh <dir>}
mkdir -p "$out"
out=$(cd "$out" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/seeds_pkcs7check.sh" "$out/pkcs7"
bash "$here/seeds_ocspcheck.sh" "$out/ocsp"
