#!/usr/bin/env bash
# Seeds for fuzz_pkcs7info: the PKCS#7 signatures of fuzz_pkcs7check's
# seeds, and one whose signer certificate carries every field an item
# reads (e-mail address, subject serialNumber, the scheme's extensions).
set -euo pipefail
out=${1:?usage: seeds_pkcs7info.sh <dir>}
mkdir -p "$out"
out=$(cd "$out" && pwd)
bash "$(dirname "$0")/seeds_pkcs7check.sh" "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
openssl req -x509 -newkey rsa:1024 -nodes -keyout user.key -days 3650 -out user.pem \
  -subj "/C=NO/serialNumber=9578-4050-000000001/CN=Kari Nordmann/emailAddress=kari@example.no" \
  -addext "keyUsage=critical,digitalSignature,nonRepudiation" \
  -addext "certificatePolicies=2.999.10.1.16.1.12.2.1" \
  -addext "2.999.10.1.16.2.1=DER:30:06:04:04:39:35:37:38" \
  -addext "2.999.10.1.16.2.2=DER:30:0d:04:0b:5a:65:6c:6d:6f:72:20:42:61:6e:6b" \
  -addext "subjectDirectoryAttributes=DER:30:35:30:14:06:03:55:04:14:31:0d:13:0b:2b:34:37:31:32:33:34:35:36:37:38:30:1d:06:08:2b:06:01:05:05:07:09:01:31:11:18:0f:31:39:38:30:30:31:30:31:31:32:30:30:30:30:5a" 2>/dev/null
printf 'content' > data
openssl cms -sign -binary -outform DER -in data -signer user.pem -inkey user.key -md sha256 -out "$out/fields.der"
