#!/usr/bin/env bash
# Seeds for fuzz_ocspreply, written into the directory given: HTTP replies
# of the validation authority around an answer of `openssl ocsp` (good, with
# nonce) and around basic responses carrying the scheme's
# additional-information extensions (built with `openssl asn1parse
# -genconf`; their signatures are not real), and those basic responses bare.
set -euo pipefail
out=${1:?usage: seeds_ocspreply.sh <dir>}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

http() {  # body file, output name
  printf 'HTTP/1.1 200 OK\r\nContent-Type: application/ocsp-response\r\nContent-Length: %s\r\n\r\n' \
    "$(stat -c %s "$1")" > "$out/$2"
  cat "$1" >> "$out/$2"
}

# A real answer from OpenSSL's responder.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out ca.key 2>/dev/null
openssl req -x509 -new -key ca.key -subj "/CN=Seed CA" -days 3650 -out ca.pem
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out va.key 2>/dev/null
openssl req -new -key va.key -subj "/CN=Seed VA" -out va.csr
openssl x509 -req -in va.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 3650 -out va.pem 2>/dev/null
printf 'V\t%s\t\t07\tunknown\t/CN=Seed VA\n' "$(date -u -d '+10 years' +%y%m%d%H%M%SZ)" > index.txt
openssl ocsp -issuer ca.pem -cert va.pem -reqout req.der 2>/dev/null
openssl ocsp -index index.txt -rsigner va.pem -rkey va.key -CA ca.pem -reqin req.der -respout real.der \
  -ndays 1 >/dev/null 2>&1
http real.der real.http

# Basic responses with response extensions: name, then OID=value pairs.
basic() {
  local name=$1; shift
  {
    echo 'asn1 = SEQUENCE:basic'
    echo '[basic]'
    echo 'tbs = SEQUENCE:tbs'
    echo 'alg = SEQUENCE:alg'
    echo 'sig = FORMAT:HEX,BITSTRING:00112233'
    echo '[alg]'
    echo 'oid = OID:sha256WithRSAEncryption'
    echo 'null = NULL'
    echo '[tbs]'
    echo 'rid = EXPLICIT:1,SEQUENCE:name'
    echo 'produced = GENTIME:20250101000000Z'
    echo 'responses = SEQUENCE:responses'
    if [ $# -gt 0 ]; then echo 'exts = EXPLICIT:1,SEQUENCE:exts'; fi
    echo '[name]'
    echo 'rdn = SET:rdn'
    echo '[rdn]'
    echo 'cn = SEQUENCE:cn'
    echo '[cn]'
    echo 'oid = OID:commonName'
    echo 'val = UTF8:Seed VA'
    echo '[responses]'
    echo 'one = SEQUENCE:single'
    echo '[single]'
    echo 'id = SEQUENCE:certid'
    echo 'good = IMPLICIT:0,NULL'
    echo 'this = GENTIME:20250101000000Z'
    echo '[certid]'
    echo 'alg = SEQUENCE:sha1'
    echo 'nh = FORMAT:HEX,OCTETSTRING:0000000000000000000000000000000000000000'
    echo 'kh = FORMAT:HEX,OCTETSTRING:0000000000000000000000000000000000000000'
    echo 'serial = INTEGER:7'
    echo '[sha1]'
    echo 'oid = OID:sha1'
    echo '[exts]'
    local i=0
    for pair in "$@"; do echo "e$i = SEQUENCE:e$i"; i=$((i + 1)); done
    i=0
    for pair in "$@"; do
      echo "[e$i]"
      echo "oid = OID:${pair%%=*}"
      echo "val = OCTETSTRING:${pair#*=}"
      i=$((i + 1))
    done
  } > "$name.cnf"
  openssl asn1parse -genconf "$name.cnf" -noout -out "$out/$name.der" >/dev/null
  # The same inside a successful OCSPResponse, as the VA sends it.
  {
    echo 'asn1 = SEQUENCE:response'
    echo '[response]'
    echo 'status = ENUMERATED:0'
    echo 'bytes = EXPLICIT:0,SEQUENCE:bytes'
    echo '[bytes]'
    echo 'type = OID:1.3.6.1.5.5.7.48.1.1'
    echo "basic = FORMAT:HEX,OCTETSTRING:$(od -An -v -tx1 "$out/$name.der" | tr -d ' \n')"
  } > "$name-response.cnf"
  openssl asn1parse -genconf "$name-response.cnf" -noout -out "$name-response.der" >/dev/null
  http "$name-response.der" "$name.http"
}
basic noextensions
basic allok 2.999.10.1.16.3.1.1=ok 2.999.10.1.16.3.2=01017012345 2.999.10.1.16.3.1=1234.56.78903 \
  2.999.10.1.16.3.3=987654321
basic errors 2.999.10.1.16.3.2.1=Unknown 2.999.10.1.16.3.3.1=Not_registered 2.999.10.1.16.3.1.1=OK
