#!/usr/bin/env bash
# Seeds for fuzz_validateocsp: an answer of `openssl ocsp` acting as the
# validation authority and a PKCS#7 of `openssl cms`, joined as the harness
# reads them (two bytes of the answer's length, the whole OCSPResponse, the
# PKCS#7 DER): the signer's own answer, another certificate's, a revoked
# one, one with a SHA-256 CertID, and one without certificates. Written into
# the directory given. The responder's policy and usages are the scheme's.
set -euo pipefail
out=${1:?usage: seeds_validateocsp.sh <dir>}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

cat > ext.cnf <<'CNF'
[va]
keyUsage = critical, digitalSignature, nonRepudiation
extendedKeyUsage = OCSPSigning
certificatePolicies = 2.999.10.1.16.1.5.1
[user]
keyUsage = critical, digitalSignature, nonRepudiation
certificatePolicies = 2.999.10.1.16.1.12.2.1
CNF
for k in ca va user other; do
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out $k.key 2>/dev/null
done
openssl req -x509 -new -key ca.key -subj "/C=NO/O=Zelmor/CN=Zelmor Issuing CA" -days 3650 \
  -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" -out ca.pem
serial=16
for k in va user other; do
  openssl req -new -key $k.key -subj "/C=NO/CN=Seed $k" -out $k.csr
  ext=$k; [ $k = other ] && ext=user
  openssl x509 -req -in $k.csr -CA ca.pem -CAkey ca.key -set_serial $serial -days 3650 \
    -extfile ext.cnf -extensions $ext -out $k.pem 2>/dev/null
  serial=$((serial + 1))
done
future=$(date -u -d '+10 years' +%y%m%d%H%M%SZ)
past=$(date -u -d '-1 day' +%y%m%d%H%M%SZ)
printf 'V\t%s\t\t11\tunknown\t/C=NO/CN=Seed user\n' "$future" > index.txt
printf 'R\t%s\t%s\t12\tunknown\t/C=NO/CN=Seed other\n' "$future" "$past" >> index.txt
printf 'the document' > data
openssl cms -sign -binary -in data -signer user.pem -inkey user.key -outform DER -out user.p7 2>/dev/null

seed() {  # name, request arguments, responder options
  local name=$1 reqargs=$2 respopts=$3 len
  openssl ocsp $reqargs -reqout "$name.req" 2>/dev/null
  openssl ocsp -index index.txt -rsigner va.pem -rkey va.key -CA ca.pem -rother ca.pem \
    -reqin "$name.req" -respout "$name.der" $respopts >/dev/null 2>&1
  len=$(stat -c %s "$name.der")
  { printf "\\$(printf %03o $((len >> 8)))\\$(printf %03o $((len & 255)))"; cat "$name.der" user.p7; } \
    > "$out/$name.bin"
}
seed own "-no_nonce -issuer ca.pem -cert user.pem" "-ndays 1"
seed other "-no_nonce -issuer ca.pem -cert other.pem" "-ndays 1"
seed sha256id "-no_nonce -issuer ca.pem -sha256 -cert user.pem" "-ndays 1"
seed nocerts "-no_nonce -issuer ca.pem -cert user.pem" "-resp_no_certs -ndays 1"
seed two "-no_nonce -issuer ca.pem -cert other.pem -cert user.pem" "-ndays 1"
