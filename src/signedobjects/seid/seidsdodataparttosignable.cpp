#include "signedobjects/seid/sdointernal.h"

namespace zmr {

size_t get_signable_datapart_len(const seidsdodatapart& datapart, int32_t flavour) {
  xmlsink count;
  seiddataparttoxml(count, datapart, flavour);
  return count.length;
}

int seidsdodataparttosignable(int session, const seidsdodatapart& datapart, std::string& out, int32_t flavour) {
  return writexml(session, out, [&](xmlsink& s) { seiddataparttoxml(s, datapart, flavour); });
}

}  // namespace zmr
