#!/usr/bin/env bash
# Seeds for fuzz_sdolistxml: SDO-list documents as the writer writes them,
# one indented with line-broken base64, and a few the reader refuses
# (document type, a missing parent record), written into the directory
# given.
set -euo pipefail
out=${1:?usage: seeds_sdolistxml.sh <dir>}
mkdir -p "$out"

head='<?xml version="1.0" encoding="UTF-8"?><SDOList xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:noNamespaceSchemaLocation="Zelmor_SDO_099.xsd">'
element_user='<SignatureElement><SignatureDataAndDateTime>VVNFUg==</SignatureDataAndDateTime><OCSPResponse>T0NTUC1V</OCSPResponse></SignatureElement>'
element_merchant='<SignatureElement><DateTime>2026-12-10T20:15:00</DateTime><SignatureDataAndDateTime>TUVSQw==</SignatureDataAndDateTime><OCSPResponse>T0NTUC1N</OCSPResponse><SignatureTimestampAuthority>tsa &amp; co</SignatureTimestampAuthority></SignatureElement>'
datapart="<SDODataPart><Policy>2.999.10.1.16.4.1</Policy><HashedData>MDEyMzQ1Njc4OWFiY2RlZmdoaWo=</HashedData><DataType>text/plain</DataType><SignatureList>$element_user$element_merchant</SignatureList></SDODataPart>"
metadata='<Metadata><Keywords>k1 k2</Keywords><Description>Contract &lt;1&gt; &amp; &apos;terms&apos;</Description><MetaAttributeList><NameValuePair><Name>MerchantDesc</Name><Value>Order 42</Value></NameValuePair><NameValuePair><Name>Ref</Name><Value>a&quot;b</Value></NameValuePair></MetaAttributeList></Metadata>'
sdo="<SDO><Zelmor_SDOVersion>1.0</Zelmor_SDOVersion>$datapart<SDOSignature>U0RP</SDOSignature>$metadata<LocationURL>https://example.test/doc?id=1&amp;v=2</LocationURL><StoredData>SGVsbG8sIFNETyBsaXN0IQ==</StoredData></SDO>"

printf '%s' "$head$sdo</SDOList>" > "$out/sample.xml"
printf '%s' "$head$sdo$sdo</SDOList>" > "$out/two.xml"
printf '%s' "$head<SDO><Zelmor_SDOVersion>1.0</Zelmor_SDOVersion><SDODataPart><HashedData>ZA==</HashedData><SignatureList><SignatureElement/></SignatureList></SDODataPart><SDOSignature></SDOSignature></SDO></SDOList>" > "$out/bare.xml"
printf '%s\r\n  %s\r\n    <StoredData>\r\n      SGVsbG8sIFNETyBs\r\n      aXN0IQ==\r\n    </StoredData>\r\n  </SDO>\r\n</SDOList>' "$head" "<SDO>" > "$out/indented.xml"
printf '%s' '<!DOCTYPE SDOList [<!ENTITY a "b">]><SDOList>&a;</SDOList>' > "$out/doctype.xml"
printf '%s' "$head<SDO><Policy>p</Policy></SDO></SDOList>" > "$out/noparent.xml"
