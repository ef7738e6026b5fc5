#include <cstdlib>

#include "signedobjects/seid/sdointernal.h"

namespace zmr {

int signaturesfree(int session, ::signatures* list) {
  while (list != nullptr) {
    ::signatures* next = list->next;
    std::free(list->pkcs7);
    std::free(list->ocsp);
    std::free(list);
    list = next;
  }
  return releasecheck(session);
}

}  // namespace zmr
