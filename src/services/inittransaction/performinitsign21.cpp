#include <cstdio>

#include "misc/status.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/items/itemsops.h"
#include "services/signing/signingops.h"
#include "store/threadstore.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr BuilderLines kLines = {
    {"inittransaction::performinitsign21: "},
    "Error converting response to url encoded string.\n",
    "Error encrypting response to client.\n",
    kCouldNotAddOptional,
};

// A JSON string's content: quotation mark and backslash escaped, and every
// byte below 0x20, which JSON does not allow raw.
void appendjson(std::string& out, std::string_view text) {
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\r':
        out.append("\\r");
        break;
      default:
        if (c < 0x20) {
          char escaped[7];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
          out.append(escaped);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
}

void appendmember(std::string& out, const char* name, std::string_view value, bool last) {
  out.append("    \"").append(name).append("\":\"").append(value).append(last ? "\"\n" : "\",\n");
}

// Signs one document into its signeddata and merchantpkcs7 fields.
int signdocument(const Session& s, document& d) {
  const int session = s.number;
  const std::string_view mimetype = d.mimetype ? std::string_view(*d.mimetype) : std::string_view();
  if (mimetype == "text/plain" || mimetype == "application/pdf") {
    std::vector<unsigned char> bytes;
    if (int rc = decodebase64(session, d.content.value_or(""), bytes); rc != kOk) {
      setlasterror(session, "inittransaction::performinitsign12: Error base64 decoding document.\n");
      return rc;
    }
    std::string signeddata, pkcs7;
    if (int rc = encodebase64(session, bytes.data(), bytes.size(), signeddata); rc != kOk)
      return fail(rc, kLines.at, "Error base64 encoding document.\n");
    d.signeddata = std::move(signeddata);
    if (int rc = signdata(s, bytes.data(), bytes.size(), pkcs7, KeyRole::signing, ChannelNonce::without); rc != kOk)
      return fail(rc, kLines.at, "Error signing document.\n");
    d.merchantpkcs7 = std::move(pkcs7);
    return kOk;
  }
  if (mimetype == "text/ZMRXML") {
    const std::string& xml = d.content ? *d.content : std::string();
    const std::string& xsl = d.xsl ? *d.xsl : std::string();
    std::string pkcs7, envelope;
    if (int rc = signxml(s, xml.data(), xml.size(), xsl.data(), xsl.size(), pkcs7, envelope); rc != kOk)
      return fail(rc, kLines.at, "Error signing ZMRXML.\n");
    d.merchantpkcs7 = std::move(pkcs7);
    d.signeddata = std::move(envelope);
    return kOk;
  }
  return fail(kBadMimeType, kLines.at, "Mime type is not valid for Zelmor use.\n");
}

// The record the store makes when the list is first asked for: no field
// set. A record with any field (signed data alone, say) is a document.
bool isblank(const document& d) {
  return !d.content && !d.xsl && !d.mimetype && !d.description && !d.signeddata && !d.merchantpkcs7 && !d.clientpkcs7 &&
         !d.ocsp && !d.fullocsp;
}

}  // namespace

int performinitsign21(const Session& s, std::string_view form, std::string_view basekey, std::string& answer) {
  const int session = s.number;
  if (int rc = checktraceid(session, form, kLines); rc != kOk) return rc;
  document* head = nullptr;
  if (int rc = getdocuments(session, &head); rc != kOk)
    return fail(rc, kLines.at, "Error fetching documents to sign from session store.\n");
  if (!head->next && isblank(*head)) return fail(kNoDocuments, kLines.at, "No documents to process.\n");

  std::string documents = "[{\n";
  for (document* d = head; d != nullptr; d = d->next.get()) {
    if (int rc = signdocument(s, *d); rc != kOk) return rc;
    std::string utf8;
    if (int rc = latin1toutf8(session, d->description.value_or(""), utf8); rc != kOk)
      return fail(rc, kLines.at, "Error converting dataDescription to UTF8.\n");
    std::string description;
    appendjson(description, utf8);
    if (d != head) documents.append(",{\n");
    appendmember(documents, "mimeType", *d->mimetype, false);
    appendmember(documents, "data", *d->signeddata, false);
    appendmember(documents, "description", description, false);
    appendmember(documents, "encoding", "ISO-8859-1", true);
    documents.append("}");
  }
  documents.append("]");

  stringmap map;
  if (int rc = addelement(map, "Documents", documents); rc != kOk) return rc;
  std::string coidata;
  if (int rc = createcoidata(s, coidata); rc != kOk) return fail(rc, kLines.at, "Error creating coidata parameter.\n");
  if (int rc = addelement(map, "coiData", coidata); rc != kOk) return rc;
  if (int rc = addocspandcmsformat(session, map); rc != kOk)
    return fail(rc, kLines.at, "Could not add optional infoitem \"ocsp and cms format\" to response.\n");
  if (int rc = addoptionalitems(session, map, 5, kLines); rc != kOk) return rc;
  return encryptinitanswer(session, map, basekey, answer, kLines);
}

}  // namespace zmr
