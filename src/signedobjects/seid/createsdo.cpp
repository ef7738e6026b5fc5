#include "misc/status.h"
#include "services/entry.h"
#include "services/items/itemsops.h"
#include "services/signing/signingops.h"
#include "signedobjects/seid/sdointernal.h"
#include "signedobjects/seid/sdooperations.h"
#include "tools/base64.h"

namespace zmr {
namespace {

// One data-part node from a signature and its OCSP answer, both stripped of
// line breaks first (the user's answer before its signature, as the
// classic form strips them).
struct NodeLines {
  const char* strip;
  const char* build;
};

int buildnode(int session, std::string_view pkcs7, std::string_view ocsp, const std::string& sha1,
              const std::string& sha256, std::string_view mimetype, bool ocspfirst, const NodeLines& lines,
              std::unique_ptr<signatureelement>& out) {
  std::string strippedpkcs7, strippedocsp;
  if (ocspfirst) {
    if (int rc = removecrlf(session, ocsp, strippedocsp); rc != kOk) return fail(rc, lines.strip);
    if (int rc = removecrlf(session, pkcs7, strippedpkcs7); rc != kOk) return fail(rc, lines.strip);
  } else {
    if (int rc = removecrlf(session, pkcs7, strippedpkcs7); rc != kOk) return fail(rc, lines.strip);
    if (int rc = removecrlf(session, ocsp, strippedocsp); rc != kOk) return fail(rc, lines.strip);
  }
  if (int rc = createseidsdosignatureelement(session, strippedpkcs7, strippedocsp, sha1, sha256, mimetype, out);
      rc != kOk)
    return fail(rc, lines.build);
  return 0;
}

constexpr const char* kServerNodeLine =
    "createsdo_createsdo: An error occured trying to create the servers sdo signature element.\n";

// The classic form's two nodes, the end user's first.
int classicnodes(int session, const ClassicSdoSignatures& in, const std::string& sha1, const std::string& sha256,
                 std::string_view mimetype, std::unique_ptr<signatureelement>& out) {
  std::unique_ptr<signatureelement> user, merchant;
  static constexpr NodeLines userlines = {
      "createsdo_createsdo: An error occured trying to strip the clients pkcs7 for carriage returns and linefeeds.\n",
      "createsdo_createsdo: An error occured trying to create the clients sdo signature element.\n"};
  if (int rc = buildnode(session, in.userpkcs7, in.userocsp, sha1, sha256, mimetype, true, userlines, user); rc != kOk)
    return rc;
  // The merchant's texts have a line each for their stripping.
  std::string ocsp, pkcs7;
  if (int rc = removecrlf(session, in.merchantocsp, ocsp); rc != kOk)
    return fail(rc,
                "createsdo_createsdo: An error occured trying to strip the server ocsp response for carriage returns "
                "and linefeeds.\n");
  if (int rc = removecrlf(session, in.merchantpkcs7, pkcs7); rc != kOk)
    return fail(rc,
                "createsdo_createsdo: An error occured trying to strip the servers pkcs7 for carriage returns and "
                "linefeeds.\n");
  if (int rc = createseidsdosignatureelement(session, pkcs7, ocsp, sha1, sha256, mimetype, merchant); rc != kOk)
    return fail(rc, kServerNodeLine);
  user->next = std::move(merchant);
  out = std::move(user);
  return 0;
}

int dynamicnodes(int session, const ::signatures* list, const std::string& sha1, const std::string& sha256,
                 std::string_view mimetype, std::unique_ptr<signatureelement>& out) {
  static constexpr NodeLines lines = {
      "createsdo_createsdo: An error occured trying to strip the  pkcs7 for carriage returns and linefeeds.\n",
      kServerNodeLine};
  std::unique_ptr<signatureelement> first;
  signatureelement* last = nullptr;
  for (const ::signatures* entry = list; entry != nullptr; entry = entry->next) {
    std::unique_ptr<signatureelement> node;
    if (int rc = buildnode(session, entry->pkcs7 ? entry->pkcs7 : "", entry->ocsp ? entry->ocsp : "", sha1, sha256,
                           mimetype, false, lines, node);
        rc != kOk)
      return rc;
    signatureelement* added = node.get();
    (last ? last->next : first) = std::move(node);
    last = added;
  }
  out = std::move(first);
  return 0;
}

}  // namespace

int signdatapart(const Session& s, const seidsdodatapart& datapart, const SealLines& lines, SealSignature& out) {
  const int session = s.number;
  std::string signable;
  if (int rc = seidsdodataparttosignable(session, datapart, signable, kSdoCompliant); rc != kOk)
    return fail(rc, lines.signable);
  // The library's own seal always carries signingTime, whatever profile the
  // thread's cmsFormat item asks of the merchant's other signatures.
  if (int rc = signdata(s, signable, out.pkcs7, KeyRole::signing, ChannelNonce::without, CmsProfile::standard);
      rc != kOk)
    return fail(rc, lines.sign);
  if (int rc = hashbytespair(session, out.sha1, out.sha256, reinterpret_cast<const unsigned char*>(signable.data()),
                             signable.size(), nullptr);
      rc != kOk)
    return fail(rc, lines.encode);
  return 0;
}

int convertDataDescription(int session, std::string_view description, std::string& out) {
  if (int rc = latin1toutf8(session, description, out); rc != kOk)
    return fail(rc, "createsdo_createsdo: Error converting data description to UTF8.\n");
  // Latin-1 converts to UTF-8 whatever it holds, control characters too.
  return checkxmltext(session, out, "createsdo_createsdo", "description");
}

int createsdo(int session, std::unique_ptr<seidsdocell>& out, std::string_view data, std::string_view mimetype,
              std::string_view description, const ClassicSdoSignatures& classic, const ::signatures* list) {
  out.reset();
  SessionRef state;
  if (int rc = enterservice(session, state); rc != kOk) return rc;
  const bool dynamic = list != nullptr;

  std::string converted;
  if (int rc = convertDataDescription(session, description, converted); rc != kOk) return rc;
  // The mime type is kept as given, in every element.
  if (int rc = checkxmltext(session, mimetype, "createsdo_createsdo", "mime type"); rc != kOk) return rc;

  std::string sha1, sha256;
  static constexpr const char* kHashLine = "createsdo_createsdo: An error occured trying to hash the input data.\n";
  if (int rc = hashdatapair(session, sha1, sha256, data, nullptr); rc != kOk) return fail(rc, kHashLine);

  std::unique_ptr<signatureelement> nodes;
  if (int rc = dynamic ? dynamicnodes(session, list, sha1, sha256, mimetype, nodes)
                       : classicnodes(session, classic, sha1, sha256, mimetype, nodes);
      rc != kOk)
    return rc;

  std::unique_ptr<seidsdodatapart> datapart;
  if (int rc = createseidsdodatapart(std::move(nodes), datapart); rc != kOk)
    return fail(rc, "createsdo_createsdo: An error occured trying to create the sdo datapart structure.\n");

  SealSignature seal;
  if (!dynamic) {
    static constexpr SealLines lines = {
        "createsdo_createsdo: An error occured trying to create the sdo datapart signable representation.\n",
        "createsdo_createsdo: An error occured trying to sign the signable sdo datapart.\n",
        "createsdo_createsdo: An error occured trying to base64encode the sdo datapart.\n"};
    if (int rc = signdatapart(*state, *datapart, lines, seal); rc != kOk) return rc;
  }

  std::unique_ptr<seidsdo> sdo;
  std::optional<std::string_view> sealpkcs7, sealsha1;
  if (!dynamic) {
    sealpkcs7 = seal.pkcs7;
    sealsha1 = seal.sha1;
  }
  if (int rc = createseidsdoelement(session, sealpkcs7, sealsha1, seal.sha256, converted, std::move(datapart), sdo);
      rc != kOk)
    return fail(rc, "createsdo_createsdo: An error occured trying to create the sdo element structure.\n");

  std::unique_ptr<seidsdocell> cell;
  try {
    cell = std::make_unique<seidsdocell>();
  } catch (const std::bad_alloc&) {
    return fail(kOutOfMemory, "createsdo_createsdo: Error allocating memory.\n");
  }
  sdo->flavour = kSdoCompliant;
  cell->first = std::move(sdo);

  if (!dynamic) {
    if (int rc = seidsdovalidate(*state, cell.get(), 0, std::nullopt, 0, 0, 0); rc != kOk) {
      // Freeing takes the recent error, as every operation does: what is
      // left is this operation's own line.
      if (int freed = seidsdofree(session, cell.release()); freed != 0)
        return fail(freed,
                    "createsdo_createsdo: An error occured trying to call seidsdofree after failing of sdo "
                    "validation.\n");
      return fail(rc, "createsdo_createsdo: An error occured trying to validate the newly constructed sdo.\n");
    }
  }
  out = std::move(cell);
  return 0;
}

}  // namespace zmr
