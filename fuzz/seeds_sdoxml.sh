#!/usr/bin/env bash
# Seeds for fuzz_sdoxml: SEID SDO XML documents in the three flavours,
# sealed and unsealed, with metadata and a signed object, and a few that
# the reader refuses (document type, unknown names, a data part mixing
# identifier forms), texts with character references for CR, tab and LF,
# written into the
# directory given. Each seed's first byte is the flavour flag: "0" demands
# the compliant flavour, "1" accepts any.
set -euo pipefail
out=${1:?usage: seeds_sdoxml.sh <dir>}
mkdir -p "$out"

head='<?xml version="1.0" encoding="UTF-8"?><SDOList xmlns="http://www.zelmor.example/seid/xmlschema/SDO_v1.0" xmlns:XAdES="http://uri.etsi.org/01903/v1.2.2#" xmlns:ds="http://www.w3.org/2000/09/xmldsig#" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">'

# element <flavour: -1, 0 or 1>
element() {
  local id dm dv ocsp
  case $1 in
    -1) id='<XAdES:Identifier>urn:oid:2.999.10.1.16.4.1</XAdES:Identifier>'
        dm='<ds:DigestMethod Algorithm="SHA-256"/>'; dv='ds:DigestValue'
        ocsp='<XAdES:OCSPValues><XAdES:EncapsulatedOCSPValue>MIIBog==</XAdES:EncapsulatedOCSPValue></XAdES:OCSPValues>' ;;
    0)  id='<Identifier>urn:oid:2.999.10.1.16.4.1</Identifier>' ;;
    *)  id='<Identifier Qualifier="urn:oid:2.999.10.1.16.4.1"/>' ;;
  esac
  if [ "$1" != -1 ]; then
    dm='<DigestMethod Algorithm="SHA-1"/>'; dv='DigestValue'
    ocsp='<OCSPValues><EncapsulatedOCSPValue>MIIBog==</EncapsulatedOCSPValue></OCSPValues>'
  fi
  printf '%s' "<CMSSignatureElement><SDOProfile>SEID-SDO-Basic-V</SDOProfile><SignaturePolicyIdentifier><SignaturePolicyId><SigPolicyId>$id</SigPolicyId></SignaturePolicyId></SignaturePolicyIdentifier><SignersDocumentFormat><MimeType>text/plain</MimeType></SignersDocumentFormat><HashedData>$dm<$dv>47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=</$dv></HashedData><CMSSignature>MIIGxQYJKoZIhvcNAQcCoIIGtjCCBrICAQExDzANBglghkgBZQMEAgEFADALBgkqhkiG9w0BBwE=</CMSSignature><UserCertificateAndRevocationData><RevocationValues>$ocsp</RevocationValues></UserCertificateAndRevocationData></CMSSignatureElement>"
}

# document <flavour> <sealed: 0 or 1>
document() {
  local seal=''
  if [ "$2" = 1 ]; then seal="<SDOSeal><SDOSignature>$(element -1)</SDOSignature></SDOSeal>"; fi
  printf '%s' "$head<SDO><SEIDSDOVersion>1.0</SEIDSDOVersion><SDODataPart><SignatureElement>$(element "$1")</SignatureElement><SignatureElement>$(element "$1")</SignatureElement></SDODataPart>$seal<Metadata><ValuePair><Description>d &amp; &lt;e&gt;</Description><Name>MerchantDesc</Name><Value>Avtale &#229;</Value></ValuePair></Metadata><SignedObject><SignersDocument>ZG9j
dW1lbnQ=</SignersDocument></SignedObject></SDO></SDOList>"
}

for flavour in -1 0 1; do
  for sealed in 0 1; do
    for flag in 0 1; do
      { printf '%s' "$flag"; document "$flavour" "$sealed"; } > "$out/sdo_${flavour}_${sealed}_${flag}.xml"
    done
  done
done
printf '1%s' "$head<SDO/><SDO><SEIDSDOVersion>1.0</SEIDSDOVersion></SDO></SDOList>" > "$out/two.xml"
printf '1%s' '<!DOCTYPE SDOList [<!ENTITY a "b">]><SDOList>&a;</SDOList>' > "$out/doctype.xml"
printf '1%s' "$head<SDO><Unknown/></SDO></SDOList>" > "$out/unknown.xml"
printf '1%s' "$head<SDO><SEIDSDOVersion>1.0</SEIDSDOVersion><SDODataPart><SignatureElement>$(element 0)</SignatureElement><SignatureElement>$(element -1)</SignatureElement></SDODataPart></SDO></SDOList>" > "$out/mixed.xml"
printf '1%s' "$head<SDO><SEIDSDOVersion>1.0</SEIDSDOVersion><SDODataPart><SignatureElement>$(element 1 | sed 's/Qualifier="urn/Qualifier="\&#9;urn\&#10;\&#13;/')</SignatureElement></SDODataPart><Metadata><ValuePair><Description></Description><Name>MerchantDesc</Name><Value>line 1&#13;
line 2</Value></ValuePair></Metadata></SDO></SDOList>" > "$out/references.xml"
