#include "hsm/hsmclient.h"
#include "misc/status.h"
#include "services/signing/signingops.h"
#include "store/threadstore.h"
#include "tools/pkcs7tools.h"

namespace zmr {

int hsmsign(const Session& s, const std::string& label, const unsigned char* data, size_t length, int64_t keybits,
            const HsmSignLines& lines, std::vector<unsigned char>& signature) {
  const int session = s.number;
  std::vector<unsigned char> digestinfo;
  if (createhashforpkcs1(session, data, length, digestinfo, keybits) != 0) {
    return fail(kSignDigestInfo, lines.nodigestinfo);
  }
  std::vector<unsigned char> produced;
  if (hsm_signdata(s, digestinfo.data(), digestinfo.size(), produced, label, HsmRsa::pkcs1) != 0) {
    return fail(kSignHsm, lines.signfailed);
  }
  if (produced.size() > kHsmResultMax) {
    return fail(lines.toolargecode, lines.toolarge);
  }
  signature = std::move(produced);
  return 0;
}

}  // namespace zmr
