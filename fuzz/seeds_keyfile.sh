#!/usr/bin/env bash
# Seeds for fuzz_keyfile: merchant key files in the layouts the loader reads,
# written into the directory given. Files from the openssl command line
# (sign-only, modern, legacy and unencrypted; one iteration) are protected
# with the hardened form of the harness's password; the multi-safe layouts
# are built with asn1parse -genconf and carry a dummy MAC, which the harness
# replaces.
set -euo pipefail
out=${1:?usage: seeds_keyfile.sh <dir>}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The harness's password, hardened as the loader does it.
hardened=$(perl -MDigest::MD5=md5 -MDigest::SHA=sha1 -MMIME::Base64 -e '
  my $salt = sha1("libzmr merchant key file hardening salt");
  my $x = $ARGV[0];
  $x = sha1(md5($x . $salt) . $salt) for 1 .. 1000;
  print encode_base64($x, "");' 'fuzz password')
export ZMR_SEED_PASSWORD="$hardened"$'\r\n'

cat > ext.cnf <<'EOF'
[auth]
keyUsage = critical, digitalSignature
[sign]
keyUsage = critical, nonRepudiation
certificatePolicies = 2.999.10.1.16.1.14.1
EOF
for k in root auth sign; do
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out $k.key 2>/dev/null
  openssl pkey -in $k.key -outform DER -out $k.key.der  # PKCS#1 RSAPrivateKey
done
openssl req -x509 -new -key root.key -subj "/CN=TESTLAB - Zelmor Root CA" -days 3650 -out root.pem
serial=2
for k in auth sign; do
  openssl req -new -key $k.key -subj "/CN=Merchant $k" -out $k.csr
  openssl x509 -req -in $k.csr -CA root.pem -CAkey root.key -set_serial $serial -days 3650 \
    -extfile ext.cnf -extensions $k -out $k.pem 2>/dev/null
  serial=$((serial + 1))
done
for c in root auth sign; do openssl x509 -in $c.pem -outform DER -out $c.der; done

export_p12() {  # name, extra options...
  local name=$1
  shift
  openssl pkcs12 -export -noiter -nomaciter -passout env:ZMR_SEED_PASSWORD -out "$out/$name" "$@"
}
export_p12 cli-signonly -in sign.pem -inkey sign.key -certfile root.pem
export_p12 cli-signonly-legacy -legacy -in sign.pem -inkey sign.key -certfile root.pem
export_p12 cli-signonly-plain -keypbe NONE -certpbe NONE -in sign.pem -inkey sign.key -certfile root.pem
export_p12 cli-auth -in auth.pem -inkey auth.key
export_p12 cli-nokeys -nokeys -in auth.pem -certfile root.pem

hex() { od -An -v -tx1 | tr -d ' \n'; }

# genconf: writes a PKCS#12 with one data safe per item. Items are
# cert:<name>:<localKeyID or -> and key:<name>:<localKeyID or ->.
genconf() {
  local name=$1
  shift
  local i=0 n=$#
  {
    echo "asn1 = SEQUENCE:pfx"
    echo "[pfx]"
    echo "version = INTEGER:3"
    echo "authsafe = SEQUENCE:authsafe"
    echo "mac = SEQUENCE:macdata"
    echo "[authsafe]"
    echo "type = OID:pkcs7-data"
    echo "content = EXPLICIT:0,OCTWRAP,SEQUENCE:safes"
    echo "[safes]"
    for i in $(seq 1 "$n"); do echo "s$i = SEQUENCE:safe$i"; done
    i=0
    for item in "$@"; do
      i=$((i + 1))
      IFS=: read -r kind file id <<< "$item"
      echo "[safe$i]"
      echo "type = OID:pkcs7-data"
      echo "content = EXPLICIT:0,OCTWRAP,SEQUENCE:bags$i"
      echo "[bags$i]"
      echo "b = SEQUENCE:bag$i"
      echo "[bag$i]"
      if [ "$kind" = cert ]; then
        echo "id = OID:certBag"
        echo "value = EXPLICIT:0,SEQUENCE:content$i"
      else
        echo "id = OID:keyBag"
        echo "value = EXPLICIT:0,SEQUENCE:content$i"
      fi
      if [ "$id" != - ]; then
        echo "attrs = SET:attrs$i"
        echo "[attrs$i]"
        echo "a = SEQUENCE:keyid$i"
        echo "[keyid$i]"
        echo "type = OID:localKeyID"
        echo "values = SET:keyidvalue$i"
        echo "[keyidvalue$i]"
        echo "v = FORMAT:HEX,OCTETSTRING:$(printf %s "$id" | hex)"
      fi
      echo "[content$i]"
      if [ "$kind" = cert ]; then
        echo "type = OID:x509Certificate"
        echo "value = EXPLICIT:0,FORMAT:HEX,OCTETSTRING:$(hex < "$file.der")"
      else
        echo "version = INTEGER:0"
        echo "alg = SEQUENCE:rsa"
        echo "key = FORMAT:HEX,OCTETSTRING:$(hex < "$file.key.der")"
      fi
    done
    echo "[rsa]"
    echo "o = OID:rsaEncryption"
    echo "p = NULL"
    echo "[macdata]"
    echo "digest = SEQUENCE:digestinfo"
    echo "salt = FORMAT:HEX,OCTETSTRING:0102030405060708"
    echo "iter = INTEGER:1"
    echo "[digestinfo]"
    echo "alg = SEQUENCE:sha256"
    echo "d = FORMAT:HEX,OCTETSTRING:$(head -c 32 /dev/zero | hex)"
    echo "[sha256]"
    echo "o = OID:sha256"
    echo "p = NULL"
  } > "$name.cnf"
  openssl asn1parse -genconf "$name.cnf" -noout -out "$out/$name"
}
genconf layout-standard cert:auth:auth cert:sign:sign key:auth:auth key:sign:sign cert:root:-
genconf layout-keys-first key:sign:sign key:auth:auth cert:sign:sign cert:auth:auth cert:root:-
genconf layout-hsm cert:auth:auth-label cert:sign:sign-label cert:root:-
