#include <openssl/asn1.h>
#include <openssl/objects.h>

#include "misc/status.h"
#include "net/http_lib.h"
#include "services/certstatus/certstatusops.h"
#include "store/threadstore.h"
#include "tools/certcache.h"
#include "tools/derelement.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

constexpr Where kAt{"getcertstatus_getocspresponse: "};

int notparsable() {
  return fail(kOcspParse, kAt,
              "The returned der encoded ocsp response could not be parsed to an ocsp response structure.\n");
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The first header line named Content-Length (any case) of the header
// block, without its line feed; nullopt when there is none. The status
// line is not a header.
std::optional<std::string_view> contentlengthline(std::string_view block) {
  size_t start = block.find('\n');
  while (start != std::string_view::npos && start + 1 < block.size()) {
    ++start;
    size_t end = block.find('\n', start);
    std::string_view line = block.substr(start, end == std::string_view::npos ? end : end - start);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && iequals(line.substr(0, colon), "content-length")) return line;
    start = end;
  }
  return std::nullopt;
}

// A positive decimal, or 0 for anything else. Values beyond what a reply
// may hold are capped, so they can never match a body.
size_t lengthvalue(std::string_view text) {
  if (text.empty()) return 0;
  size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<size_t>(c - '0');
    if (value > kHttpMaxBody) value = kHttpMaxBody + 1;
  }
  return value;
}

// The responseBytes of a DER OCSPResponse:
//   SEQUENCE { ENUMERATED, [0] EXPLICIT SEQUENCE { OID, OCTET STRING } OPTIONAL }
// present false when it has none; false for anything but that layout.
bool responsebytes(std::string_view der, bool& present, std::string_view& type, std::string_view& octets) {
  present = false;
  DerElement outer, status, tagged, bytes, oid, value;
  if (!readderelement(der, outer) || !der.empty() || outer.tag != V_ASN1_SEQUENCE || !outer.constructed) return false;
  std::string_view body = outer.content;
  if (!readderelement(body, status) || status.tag != V_ASN1_ENUMERATED) return false;
  if (body.empty()) return true;
  if (!readderelement(body, tagged) || !body.empty() || tagged.xclass != V_ASN1_CONTEXT_SPECIFIC || tagged.tag != 0 ||
      !tagged.constructed)
    return false;
  std::string_view inner = tagged.content;
  if (!readderelement(inner, bytes) || !inner.empty() || bytes.tag != V_ASN1_SEQUENCE || !bytes.constructed)
    return false;
  std::string_view fields = bytes.content;
  if (!readderelement(fields, oid) || oid.tag != V_ASN1_OBJECT || !readderelement(fields, value) ||
      value.tag != V_ASN1_OCTET_STRING || value.constructed || !fields.empty())
    return false;
  present = true;
  type = oid.whole;
  octets = value.content;
  return true;
}

bool isbasictype(std::string_view oidder) {
  const auto* p = reinterpret_cast<const unsigned char*>(oidder.data());
  Asn1ObjectPtr obj(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oidder.size())));
  return obj && OBJ_obj2nid(obj.get()) == NID_id_pkix_OCSP_basic;
}

}  // namespace

int getocspresponse(int, std::string_view reply, OcspAnswer& out) {
  out = OcspAnswer{};
  if (http_statuscode(reply) != 200)
    return fail(kOcspHttpStatus, kAt, "The va did not respond with an http ok code (200 OK)\n");
  size_t end = reply.find("\r\n\r\n");
  if (end == std::string_view::npos)
    return fail(kOcspHttpFormat, kAt,
                "The http response from the va is not in a valid format. It is missing the duplicate cr and lf\n");
  std::optional<std::string_view> line = contentlengthline(reply.substr(0, end + 2));
  if (!line)
    return fail(kOcspNoLength, kAt, "The http response from the va does not contain a content-length entry.\n");
  if (line->empty() || line->back() != '\r')
    return fail(kOcspLengthEnd, kAt, "The http response did not contain a cr after content-length.\n");
  std::string_view text = line->substr(0, line->size() - 1);
  size_t length = lengthvalue(trimmed(text.substr(text.find(':') + 1)));
  if (length == 0)
    return fail(kOcspBadLength, kAt, "The http response did not contain a valid content-length value.\n");

  std::string_view body = reply.substr(end + 4);
  if (body.size() < length) return notparsable();
  body = body.substr(0, length);
  const auto* p = reinterpret_cast<const unsigned char*>(body.data());
  OcspResponsePtr full(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(body.size())));
  bool present = false;
  std::string_view type, octets;
  if (!full || p != reinterpret_cast<const unsigned char*>(body.data()) + body.size() ||
      !responsebytes(body, present, type, octets))
    return notparsable();

  switch (OCSP_response_status(full.get())) {
    case OCSP_RESPONSE_STATUS_SUCCESSFUL:
      break;
    case OCSP_RESPONSE_STATUS_MALFORMEDREQUEST:
      return fail(kOcspMalformed, kAt, "The va did not understand the ocsp request we sent.\n");
    case OCSP_RESPONSE_STATUS_INTERNALERROR:
      return fail(kOcspInternal, kAt, "The va responded with an ocsp internal error status.\n");
    case OCSP_RESPONSE_STATUS_TRYLATER:
      return fail(kOcspTryLater, kAt, "The va responded with an ocsp try later status.\n");
    case OCSP_RESPONSE_STATUS_SIGREQUIRED:
      return fail(kOcspSigRequired, kAt, "The va did not find a signature of the ocsp request.\n");
    case OCSP_RESPONSE_STATUS_UNAUTHORIZED:
      return fail(kOcspUnauthorized, kAt, "The va did not authorize access to certificate in request.\n");
    default:
      return notparsable();
  }
  if (!present || !isbasictype(type))
    return fail(kOcspNoBasic, kAt, "The ocsp response did not contain an ocsp basic response.\n");
  p = reinterpret_cast<const unsigned char*>(octets.data());
  OcspBasicRespPtr basic(d2iocspbasic(&p, static_cast<long>(octets.size())));
  if (!basic || p != reinterpret_cast<const unsigned char*>(octets.data()) + octets.size()) return notparsable();

  out.fullder = std::string(body);
  out.basicder = std::string(octets);
  out.full = std::move(full);
  out.basic = std::move(basic);
  return kOk;
}

}  // namespace zmr
