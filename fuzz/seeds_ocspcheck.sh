#!/usr/bin/env bash
# Seeds for fuzz_ocspcheck: OCSP responses made by `openssl ocsp` acting as
# the validation authority (good, revoked, unknown; responder ID by name and
# by key; with and without nonce, nextUpdate and certificates; SHA-1 and
# SHA-256), written as whole OCSPResponse DER into the directory given. Each
# carries the issuing CA last, which the harness trusts.
set -euo pipefail
out=${1:?usage: seeds_ocspcheck.sh <dir>}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

cat > ext.cnf <<'CNF'
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
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
# index.txt: the user is valid, the other certificate revoked.
future=$(date -u -d '+10 years' +%y%m%d%H%M%SZ)
past=$(date -u -d '-1 day' +%y%m%d%H%M%SZ)
printf 'V\t%s\t\t11\tunknown\t/C=NO/CN=Seed user\n' "$future" > index.txt
printf 'R\t%s\t%s\t12\tunknown\t/C=NO/CN=Seed other\n' "$future" "$past" >> index.txt

answer() {  # name, request arguments, responder options
  local name=$1 reqargs=$2 respopts=$3
  openssl ocsp $reqargs -reqout "$name.req" 2>/dev/null
  openssl ocsp -index index.txt -rsigner va.pem -rkey va.key -CA ca.pem -rother ca.pem \
    -reqin "$name.req" -respout "$out/$name.der" $respopts >/dev/null 2>&1
}
answer good "-issuer ca.pem -cert user.pem" "-ndays 1"
answer revoked "-issuer ca.pem -cert other.pem" "-nmin 30"
answer unknown "-issuer ca.pem -cert ca.pem" "-ndays 1"
answer bykey "-issuer ca.pem -cert user.pem" "-resp_key_id -ndays 1"
answer nonextupdate "-no_nonce -issuer ca.pem -cert user.pem" ""
answer sha256id "-issuer ca.pem -sha256 -cert user.pem" "-rmd sha256 -ndays 1"
answer nocerts "-issuer ca.pem -cert user.pem" "-resp_no_certs -ndays 1"
answer two "-issuer ca.pem -cert other.pem -cert user.pem" "-ndays 1"
