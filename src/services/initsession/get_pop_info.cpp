#include <openssl/rand.h>

#include <ctime>

#include "misc/status.h"
#include "services/initsession/initsessionops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"
#include "tools/base64.h"

namespace zmr {
namespace {

constexpr Where kAt{"gettag_getpopinfo: "};

}  // namespace

int get_pop_info(const Session& s, std::string& out) {
  const int session = s.number;
  out.clear();
  std::string issuer, serial;
  if (int rc = readauthcertfields(s, kAt.prefix, issuer, serial, nullptr); rc != kOk) return rc;
  // Drawn here rather than through getrandom, which would clear the
  // caller's recent error in the middle of its operation.
  unsigned char random[20];
  std::string nonce;
  if (RAND_bytes(random, sizeof random) != 1 || encodebase64(session, random, sizeof random, nonce) != kOk)
    return fail(kRandomFailed, kAt, "An error occured generating nonce. \n");

  std::string form;
  int rc = add_url_key_value(form, "issuer", issuer);
  if (rc == kOk) rc = add_url_key_value(form, "serialnumber", serial);
  if (rc == kOk)
    rc = add_url_key_value(form, "timestamp", std::to_string(static_cast<long long>(std::time(nullptr))) + "000");
  if (rc == kOk) rc = add_url_key_value(form, "nonce", nonce);
  if (rc != kOk) return rc;
  if (rc = encodebase64(session, form, out); rc != kOk)
    return fail(rc, kAt, "An error occured trying to base64 encode the POP info.\n");
  return kOk;
}

int get_pop_parameters(const stringmap& map, std::string& out) {
  out.clear();
  bool first = true;
  for (const element& e : map.elements) {
    if (!e.key || *e.key == "popSignature") continue;
    if (!first) out += ',';
    out += *e.key;
    first = false;
  }
  return kOk;
}

}  // namespace zmr
