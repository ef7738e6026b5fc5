#!/usr/bin/env bash
# Seeds for fuzz_pkcs7check: DER PKCS#7 SignedData written into the
# directory given. `openssl cms` makes detached and attached signatures with
# several digests, with and without signed attributes; `asn1parse -genconf`
# makes one whose signed attributes hold the "ZMR Channel" attribute and the
# OtherSigningCertificate hash the library reads (its signature is a dummy).
set -euo pipefail
out=${1:?usage: seeds_pkcs7check.sh <dir>}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out ca.key 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out user.key 2>/dev/null
openssl req -x509 -new -key ca.key -subj "/C=NO/O=Zelmor/CN=Zelmor Issuing CA" -days 3650 -out ca.pem
openssl req -new -key user.key -subj "/C=NO/CN=Seed signer" -out user.csr
printf 'keyUsage=critical,digitalSignature,nonRepudiation\ncertificatePolicies=2.999.10.1.16.1.12.2.1\n' > ext.cnf
openssl x509 -req -in user.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 3650 -extfile ext.cnf -out user.pem 2>/dev/null
printf 'fuzzed content' > data

n=0
for opts in "-md sha256" "-md sha1 -nodetach" "-md md5" "-md sha512" "-md sha256 -noattr" \
            "-md sha256 -nocerts" "-md sha256 -certfile ca.pem -nodetach"; do
  openssl cms -sign -binary -outform DER -in data -signer user.pem -inkey user.key $opts -out "$out/cms$n.der"
  n=$((n + 1))
done

hash=$(openssl x509 -in user.pem -outform DER | openssl dgst -sha256 -hex | sed 's/.*= //')
digest=$(openssl dgst -sha256 -hex data | sed 's/.*= //')
cat > attrs.cnf <<CNF
asn1 = SEQUENCE:contentinfo
[contentinfo]
type = OID:pkcs7-signedData
content = EXPLICIT:0,SEQUENCE:signeddata
[signeddata]
version = INTEGER:1
digests = SET:digests
encap = SEQUENCE:encap
signers = SET:signers
[digests]
a = SEQUENCE:sha256
[sha256]
oid = OID:sha256
params = NULL
[encap]
type = OID:pkcs7-data
[signers]
s = SEQUENCE:signer
[signer]
version = INTEGER:1
sid = SEQUENCE:sid
digest = SEQUENCE:sha256
attrs = IMPLICIT:0,SET:attrs
sigalg = SEQUENCE:rsa
sig = FORMAT:HEX,OCTETSTRING:00
[sid]
issuer = SEQUENCE:issuer
serial = INTEGER:7
[issuer]
rdn = SET:rdn
[rdn]
cn = SEQUENCE:cn
[cn]
oid = OID:commonName
value = UTF8:Zelmor Issuing CA
[rsa]
oid = OID:rsaEncryption
params = NULL
[attrs]
a1 = SEQUENCE:contenttype
a2 = SEQUENCE:messagedigest
a3 = SEQUENCE:channel
a4 = SEQUENCE:othercert
[contenttype]
oid = OID:contentType
v = SET:contenttypev
[contenttypev]
v = OID:pkcs7-data
[messagedigest]
oid = OID:messageDigest
v = SET:messagedigestv
[messagedigestv]
v = FORMAT:HEX,OCTETSTRING:$digest
[channel]
oid = OID:1.2.840.113549.1.9.25.3
v = SET:channelv
[channelv]
v = OCTETSTRING:ZMR Channel
[othercert]
oid = OID:1.2.840.113549.1.9.16.2.19
v = SET:othercertv
[othercertv]
v = SEQUENCE:oc1
[oc1]
v = SEQUENCE:oc2
[oc2]
v = SEQUENCE:oc3
[oc3]
alg = OID:sha256
hash = FORMAT:HEX,OCTETSTRING:$hash
CNF
openssl asn1parse -genconf attrs.cnf -out "$out/attributes.der" >/dev/null
