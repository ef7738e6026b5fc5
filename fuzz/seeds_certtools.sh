#!/usr/bin/env bash
# Seeds for fuzz_certtools: DER certificates with the extensions the readers
# look at (policies, AIA, key usage, subject directory attributes, the
# scheme's bank-name and originator extensions, alternative names), and a
# few time texts, written into the directory given.
set -euo pipefail
out=${1:?usage: seeds_certtools.sh <dir>}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

openssl genrsa -out key.pem 1024 2>/dev/null
cat > ext.cnf <<'CNF'
[req]
distinguished_name = dn
[dn]
[enduser]
keyUsage = critical, digitalSignature, nonRepudiation
certificatePolicies = 2.999.10.1.16.1.12.2.1
authorityInfoAccess = caIssuers;URI:http://ca.invalid/ca.crt, OCSP;URI:http://127.0.0.1
subjectAltName = email:a@b.invalid, DNS:localhost, IP:127.0.0.1
# SEQUENCE { SEQUENCE { dateOfBirth, SET { GeneralizedTime } }, SEQUENCE { telephoneNumber, SET { PrintableString } } }
2.5.29.9 = DER:3035301d06082b060105050709013111180f31393830303130313132303030305a30140603550414310d130b2b34373132333435363738
[merchant]
keyUsage = critical, digitalSignature, keyEncipherment
certificatePolicies = 2.999.10.1.16.1.14.2, 2.999.10.1.16.1.14.1
2.999.10.1.16.2.2 = DER:300b0409546573742042616e6b
2.999.10.1.16.2.1 = DER:3011040f54657374204f726967696e61746f72
[ca]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
CNF
n=0
for section in enduser merchant ca; do
  openssl req -x509 -new -key key.pem -subj "/C=NO/O=Org\/Unit/serialNumber=9578-1/OU=U/CN=Seed $section" \
    -days 3650 -set_serial $((n + 1)) -config ext.cnf -extensions "$section" \
    -outform DER -out "$out/cert-$section.der"
  n=$((n + 1))
done
printf '20270203140509Z' > "$out/time-whole"
printf '20270203140509.123Z' > "$out/time-fraction"
printf '19691231235959Z' > "$out/time-before-1970"
