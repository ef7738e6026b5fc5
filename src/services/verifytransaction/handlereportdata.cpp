#include "misc/status.h"
#include "net/stringmap.h"
#include "services/verifytransaction/verifytransactionops.h"
#include "store/threadstore.h"
#include "misc/stringoperations.h"

namespace zmr {
namespace {

int refuse(int session, std::string_view key) {
  setlasterror(
      session,
      std::string("verifytransactionrequest::handlereportdata: Could not set infoitem \"").append(key).append("\".\n"));
  return kReportPair;
}

}  // namespace

bool isreservedreportkey(std::string_view key) {
  for (const char* reserved : kReservedReportKeys) {
    if (iequals(key, reserved)) return true;
  }
  return false;
}

int handlereportdata(int session, std::optional<std::string_view> report) {
  if (!report || report->empty()) return kOk;
  stringmap pairs;
  if (createstringmap(*report, "&", 0, pairs) != kOk) {
    setlasterror(session, "verifytransaction::handlereportdata: Error creating stringmap.\n");
    return kMapParse;
  }
  // The client's pairs land beside the library's results: a pair that
  // would stand in for one, or that cannot be stored as it was sent, is
  // refused, and with it the whole report.
  for (const element& e : pairs.elements) {
    if (!e.key || !e.value) return refuse(session, e.key.value_or(""));
    if (isreservedreportkey(*e.key)) return refuse(session, *e.key);
  }
  PushedItems pushed;
  for (const element& e : pairs.elements) {
    if (pushinfoitem(session, *e.key, *e.value) != kOk) return refuse(session, *e.key);
  }
  pushed.keep();
  return kOk;
}

}  // namespace zmr
