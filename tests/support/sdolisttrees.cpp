#include "support/sdolisttrees.h"

#include <stdexcept>

#include "support/verifiers.h"

namespace zmrtest {
namespace {

std::string show(const zmr::sdotext& t, bool emptyAsAbsent) {
  if (!t || (emptyAsAbsent && t->empty())) return "(absent)";
  return "\"" + *t + "\"";
}

std::string show(const zmr::sdobytes& b, bool emptyAsAbsent) {
  if (!b || (emptyAsAbsent && b->empty())) return "(absent)";
  return std::to_string(b->size()) + " bytes " + toBase64(std::string(b->begin(), b->end()));
}

}  // namespace

std::vector<unsigned char> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::unique_ptr<zmr::sdolist> sampleSdoList() {
  auto user = std::make_unique<zmr::sigelement>();
  user->signature = "VVNFUg==";
  user->szocspresponse = bytesOf("OCSP-U");
  user->next = std::make_unique<zmr::sigelement>();
  zmr::sigelement& merchant = *user->next;
  merchant.szdatetime = "2026-12-10T20:15:00";
  merchant.signature = "TUVSQw==";
  merchant.szocspresponse = bytesOf("OCSP-M");
  merchant.timestampauthority = "tsa & co";

  auto list = std::make_unique<zmr::sdolist>();
  list->first = std::make_unique<zmr::sdoelement>();
  zmr::sdoelement& sdo = *list->first;
  sdo.szzmr_sdoversion = "1.0";
  sdo.sdodatapart = std::make_unique<zmr::sdodatapart>();
  sdo.sdodatapart->szpolicy = "2.999.10.1.16.4.1";
  sdo.sdodatapart->szhasheddata = bytesOf("0123456789abcdefghij");
  sdo.sdodatapart->szdatatype = "text/plain";
  sdo.sdodatapart->siglist = std::move(user);
  sdo.szsdosignature = "U0RP";
  sdo.metadata = std::make_unique<zmr::sdometadata>();
  sdo.metadata->keywords = "k1 k2";
  sdo.metadata->description = "Contract <1> & 'terms'";
  sdo.metadata->attributes = std::make_unique<zmr::namevaluepair>();
  sdo.metadata->attributes->name = "MerchantDesc";
  sdo.metadata->attributes->value = "Order 42";
  sdo.metadata->attributes->next = std::make_unique<zmr::namevaluepair>();
  sdo.metadata->attributes->next->name = "Ref";
  sdo.metadata->attributes->next->value = "a\"b";
  sdo.locationurl = "https://example.test/doc?id=1&v=2";
  sdo.storeddata = bytesOf("Hello, SDO list!");
  return list;
}

std::string dumpSdoList(const zmr::sdolist& list, bool e) {
  std::string out;
  auto line = [&](const std::string& indent, const std::string& name, const std::string& value) {
    out += indent + name + " " + value + "\n";
  };
  for (const zmr::sdoelement* sdo = list.first.get(); sdo != nullptr; sdo = sdo->nextsdoelement.get()) {
    out += "SDO\n";
    line(" ", "version", show(sdo->szzmr_sdoversion, e));
    if (const zmr::sdodatapart* d = sdo->sdodatapart.get()) {
      out += " datapart\n";
      line("  ", "policy", show(d->szpolicy, e));
      line("  ", "hasheddata", show(d->szhasheddata, e));
      line("  ", "datatype", show(d->szdatatype, e));
      for (const zmr::sigelement* s = d->siglist.get(); s != nullptr; s = s->next.get()) {
        out += "  sigelement\n";
        line("   ", "datetime", show(s->szdatetime, e));
        line("   ", "signature", show(s->signature, e));
        line("   ", "ocsp", show(s->szocspresponse, e));
        line("   ", "tsa", show(s->timestampauthority, e));
      }
    } else {
      out += " datapart -\n";
    }
    line(" ", "sdosignature", show(sdo->szsdosignature, e));
    if (const zmr::sdometadata* m = sdo->metadata.get()) {
      out += " metadata\n";
      line("  ", "keywords", show(m->keywords, e));
      line("  ", "description", show(m->description, e));
      for (const zmr::namevaluepair* p = m->attributes.get(); p != nullptr; p = p->next.get())
        out += "  pair " + show(p->name, e) + " = " + show(p->value, e) + "\n";
    } else {
      out += " metadata -\n";
    }
    line(" ", "location", show(sdo->locationurl, e));
    line(" ", "storeddata", show(sdo->storeddata, e));
  }
  return out;
}

std::string writeSdoList(const zmr::sdolist& list) {
  std::string out;
  int rc = zmr::zmrsdo2xml(0, list, out);
  if (rc != 0) throw std::runtime_error("zmrsdo2xml failed with " + std::to_string(rc));
  return out;
}

}  // namespace zmrtest
