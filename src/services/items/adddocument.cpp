// adddocument and setsigneddata: records of the calling thread's document list.
#include "misc/status.h"
#include "services/entry.h"
#include "services/items/itemsops.h"

namespace zmr {
namespace {

document* tail(document* head) {
  while (head->next) head = head->next.get();
  return head;
}

}  // namespace

int adddocument(int session, std::string_view content, std::string_view second, int type,
                std::string_view description) {
  if (int rc = enterservice(session); rc != kOk) return rc;
  if (type < 0 || type > 2) return kBadArgument;
  document* head = nullptr;
  if (int rc = getdocuments(session, &head); rc != kOk) return rc;
  document* d = head;
  if (head->content) {
    d = tail(head);
    d->next = std::make_unique<document>();
    d = d->next.get();
  }
  d->content = std::string(content);
  switch (type) {
    case 0:
      d->mimetype = "text/plain";
      break;
    case 1:
      d->xsl = std::string(second);
      d->mimetype = "text/ZMRXML";
      break;
    default:
      d->mimetype = "application/pdf";
      break;
  }
  d->description = std::string(description);
  return 0;
}

int setsigneddata(int session, std::string_view signeddata) {
  if (int rc = enterservice(session); rc != kOk) return rc;
  document* head = nullptr;
  if (int rc = getdocuments(session, &head); rc != kOk) return rc;
  if (!head->signeddata) {
    head->signeddata = std::string(signeddata);
    return 0;
  }
  document* t = tail(head);
  t->next = std::make_unique<document>();
  t->next->signeddata = std::string(signeddata);
  return 0;
}

}  // namespace zmr
