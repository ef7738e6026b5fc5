// SDO-list XML to a record tree, streaming on Expat. A start tag of the
// format creates the record it names or points the target at the field
// its text fills; the text is gathered until that element's end tag and
// only then stored (or base64-decoded), so texts split by the parser,
// broken into lines or holding references arrive whole. Names outside the
// format are ignored.
#include <expat.h>

#include <algorithm>
#include <array>
#include <climits>

#include "services/entry.h"
#include "signedobjects/sdolist/sdolistinternal.h"
#include "signedobjects/xmlreading.h"

namespace zmr {
namespace {

// An SDO list nests six deep; anything much deeper is not one.
constexpr int kMaxDepth = 32;
constexpr int kNotSdoList = 1;

enum class tag {
  SDOList,
  SDO,
  Zelmor_SDOVersion,
  SDODataPart,
  Policy,
  DataType,
  HashedData,
  SignatureElement,
  DateTime,
  SignatureDataAndDateTime,
  SignatureTimestampAuthority,
  OCSPResponse,
  SDOSignature,
  LocationURL,
  StoredData,
  Metadata,
  Keywords,
  Description,
  NameValuePair,
  Name,
  Value,
};

// Sorted.
constexpr std::array<std::pair<std::string_view, tag>, 21> kTags{{
    {"DataType", tag::DataType},
    {"DateTime", tag::DateTime},
    {"Description", tag::Description},
    {"HashedData", tag::HashedData},
    {"Keywords", tag::Keywords},
    {"LocationURL", tag::LocationURL},
    {"Metadata", tag::Metadata},
    {"Name", tag::Name},
    {"NameValuePair", tag::NameValuePair},
    {"OCSPResponse", tag::OCSPResponse},
    {"Policy", tag::Policy},
    {"SDO", tag::SDO},
    {"SDODataPart", tag::SDODataPart},
    {"SDOList", tag::SDOList},
    {"SDOSignature", tag::SDOSignature},
    {"SignatureDataAndDateTime", tag::SignatureDataAndDateTime},
    {"SignatureElement", tag::SignatureElement},
    {"SignatureTimestampAuthority", tag::SignatureTimestampAuthority},
    {"StoredData", tag::StoredData},
    {"Value", tag::Value},
    {"Zelmor_SDOVersion", tag::Zelmor_SDOVersion},
}};
static_assert(std::is_sorted(kTags.begin(), kTags.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; }));

struct sdoparsecontext {
  int session = -1;
  size_t size = 0;  // of the whole input
  sdolist* root = nullptr;
  // Where the text of the element open at targetdepth goes: a text, or
  // bytes to decode it into.
  sdotext* text = nullptr;
  sdobytes* bytes = nullptr;
  int targetdepth = 0;
  std::string gathered;
  bool gotdata = false;
  int failed = 0;   // 1: a record an element needs is missing
  int stopped = 0;  // the code the parse was stopped with
  XML_Parser parser = nullptr;
  int depth = 0;
  // The tails, so that appending takes constant time.
  sdoelement* lastsdo = nullptr;
  sigelement* lastsig = nullptr;
  namevaluepair* lastpair = nullptr;
};

void stop(sdoparsecontext& ctx, int code) {
  if (ctx.stopped != 0) return;
  ctx.stopped = code;
  XML_StopParser(ctx.parser, XML_FALSE);
}

// Stores the gathered text in its target and ends the target. An element
// without character data leaves its field as it was.
void flush(sdoparsecontext& ctx) {
  if (ctx.gotdata) {
    if (ctx.text != nullptr) {
      *ctx.text = ctx.gathered;  // a copy: the buffer keeps its room for the next text
    } else if (ctx.bytes != nullptr) {
      std::vector<unsigned char> decoded;
      if (decodebase64(ctx.session, ctx.gathered, decoded) == 0) {
        *ctx.bytes = std::move(decoded);
      } else {
        ctx.bytes->reset();
        setlasterror(ctx.session,
                     "sdotools_handleData: An error occured trying to base64 decode the userData input.\n");
      }
    }
  }
  ctx.text = nullptr;
  ctx.bytes = nullptr;
  ctx.gathered.clear();
  ctx.gotdata = false;
}

template <typename Record>
Record* renew(std::unique_ptr<Record>& field) {
  field = std::make_unique<Record>();
  return field.get();
}

// False when a record the element fills is missing.
bool maintainparsestruct(sdoparsecontext& ctx, tag t) {
  sdoelement* sdo = ctx.lastsdo;
  sdodatapart* datapart = sdo != nullptr ? sdo->sdodatapart.get() : nullptr;
  sdometadata* metadata = sdo != nullptr ? sdo->metadata.get() : nullptr;
  auto text = [&](sdotext& field) {
    ctx.text = &field;
    ctx.targetdepth = ctx.depth;
    return true;
  };
  auto bytes = [&](sdobytes& field) {
    ctx.bytes = &field;
    ctx.targetdepth = ctx.depth;
    // A stored document can be most of the input: room for all that is
    // left is taken at once (pages are only touched as they fill) rather
    // than grown step by step.
    const XML_Index at = XML_GetCurrentByteIndex(ctx.parser);
    if (at >= 0 && static_cast<size_t>(at) < ctx.size) ctx.gathered.reserve(ctx.size - static_cast<size_t>(at));
    return true;
  };
  switch (t) {
    case tag::SDOList:
      ctx.root->first.reset();
      ctx.lastsdo = nullptr;
      ctx.lastsig = nullptr;
      ctx.lastpair = nullptr;
      return true;
    case tag::SDO:
      ctx.lastsdo = renew(sdo != nullptr ? sdo->nextsdoelement : ctx.root->first);
      ctx.lastsig = nullptr;
      ctx.lastpair = nullptr;
      return true;
    case tag::Zelmor_SDOVersion:
      return sdo != nullptr && text(sdo->szzmr_sdoversion);
    case tag::SDODataPart:
      if (sdo == nullptr) return false;
      renew(sdo->sdodatapart);
      ctx.lastsig = nullptr;
      return true;
    case tag::Policy:
      return datapart != nullptr && text(datapart->szpolicy);
    case tag::DataType:
      return datapart != nullptr && text(datapart->szdatatype);
    case tag::HashedData:
      return datapart != nullptr && bytes(datapart->szhasheddata);
    case tag::SignatureElement:
      if (datapart == nullptr) return false;
      ctx.lastsig = renew(ctx.lastsig != nullptr ? ctx.lastsig->next : datapart->siglist);
      return true;
    case tag::DateTime:
      return ctx.lastsig != nullptr && text(ctx.lastsig->szdatetime);
    case tag::SignatureDataAndDateTime:
      return ctx.lastsig != nullptr && text(ctx.lastsig->signature);
    case tag::SignatureTimestampAuthority:
      return ctx.lastsig != nullptr && text(ctx.lastsig->timestampauthority);
    case tag::OCSPResponse:
      return ctx.lastsig != nullptr && bytes(ctx.lastsig->szocspresponse);
    case tag::SDOSignature:
      return sdo != nullptr && text(sdo->szsdosignature);
    case tag::LocationURL:
      return sdo != nullptr && text(sdo->locationurl);
    case tag::StoredData:
      return sdo != nullptr && bytes(sdo->storeddata);
    case tag::Metadata:
      if (sdo == nullptr) return false;
      renew(sdo->metadata);
      ctx.lastpair = nullptr;
      return true;
    case tag::Keywords:
      return metadata != nullptr && text(metadata->keywords);
    case tag::Description:
      return metadata != nullptr && text(metadata->description);
    case tag::NameValuePair:
      if (metadata == nullptr) return false;
      ctx.lastpair = renew(ctx.lastpair != nullptr ? ctx.lastpair->next : metadata->attributes);
      return true;
    case tag::Name:
      return ctx.lastpair != nullptr && text(ctx.lastpair->name);
    case tag::Value:
      return ctx.lastpair != nullptr && text(ctx.lastpair->value);
  }
  return false;
}

// No exception may cross Expat's frames: running out of memory stops the
// parse instead.
void XMLCALL startelement(void* data, const XML_Char* name, const XML_Char**) {
  auto& ctx = *static_cast<sdoparsecontext*>(data);
  if (ctx.stopped != 0) return;
  if (++ctx.depth > kMaxDepth) return stop(ctx, kNotSdoList);
  if (ctx.failed != 0) return;
  const tag* t = findtag(kTags, name);
  if (t == nullptr) return;
  try {
    flush(ctx);
    if (!maintainparsestruct(ctx, *t)) ctx.failed = 1;
  } catch (...) {
    stop(ctx, kOutOfMemory);
  }
}

void XMLCALL endelement(void* data, const XML_Char*) {
  auto& ctx = *static_cast<sdoparsecontext*>(data);
  if (ctx.stopped == 0 && ctx.failed == 0 && ctx.depth == ctx.targetdepth && (ctx.text || ctx.bytes)) {
    try {
      flush(ctx);
    } catch (...) {
      stop(ctx, kOutOfMemory);
    }
  }
  --ctx.depth;
}

void XMLCALL handledata(void* data, const XML_Char* s, int length) {
  auto& ctx = *static_cast<sdoparsecontext*>(data);
  if ((ctx.text == nullptr && ctx.bytes == nullptr) || ctx.failed != 0 || ctx.stopped != 0) return;
  try {
    ctx.gathered.append(s, static_cast<size_t>(length));
    ctx.gotdata = true;
  } catch (...) {
    stop(ctx, kOutOfMemory);
  }
}

// The format has no document type; refusing one also keeps entity
// declarations, and so any expansion, out.
void XMLCALL startdoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  stop(*static_cast<sdoparsecontext*>(data), kNotSdoList);
}

}  // namespace

int xmltosdo(int session, std::string_view xml, std::unique_ptr<sdolist>& out) {
  out.reset();
  if (int rc = enterservice(session); rc != kOk) return rc;
  // Expat takes the length as an int.
  if (xml.size() > static_cast<size_t>(INT_MAX)) return kNotSdoList;
  try {
    ExpatParserPtr parser(XML_ParserCreate(nullptr));
    if (!parser) return kOutOfMemory;
    auto list = std::make_unique<sdolist>();
    sdoparsecontext ctx;
    ctx.session = session;
    ctx.size = xml.size();
    ctx.root = list.get();
    ctx.parser = parser.get();
    XML_SetUserData(parser.get(), &ctx);
    XML_SetElementHandler(parser.get(), startelement, endelement);
    XML_SetCharacterDataHandler(parser.get(), handledata);
    XML_SetStartDoctypeDeclHandler(parser.get(), startdoctype);
    // In pieces: a stored document can be large.
    const XML_Status status = parseinpieces(parser.get(), xml, ctx.stopped);
    if (ctx.stopped != 0) return ctx.stopped;
    if (status != XML_STATUS_OK)
      return XML_GetErrorCode(parser.get()) == XML_ERROR_NO_MEMORY ? kOutOfMemory : kNotSdoList;
    if (ctx.failed != 0) return kNotSdoList;
    out = std::move(list);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

}  // namespace zmr
