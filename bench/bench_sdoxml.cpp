// Reading and writing SEID SDO XML beside a bare Expat parse of the same
// text: SDOs whose signed object holds 1, 4, 16 and 64 MB of base64 in
// 76-character lines, SDOs of 10^5 and 10^6 metadata pairs, and lists of
// the older SDO-list format whose stored document is 1, 4 and 16 MB. Time per
// megabyte should stay flat as the document grows (no step may be
// quadratic), and reading should stay within a small factor of the bare
// parse (no bare parse of the 64 MB text: Expat given it whole takes
// seconds and says nothing more). Prints those ratios after the table,
// against the goal: time per MB at most 1.3 times the 1 MB figure for
// reading and writing at every size, and for 10^6 pairs over 10^5.
#include <benchmark/benchmark.h>
#include <expat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ratioreporter.h"
#include "signedobjects/sdolist/sdolist.h"
#include "signedobjects/seid/seidsdo.h"
#include "store/sessionstore.h"
#include "support/sdolisttrees.h"
#include "support/storesession.h"

namespace {

int session = zmrtest::openStoreSession();

// Texts from this size on get no bare parse.
constexpr size_t kBareLimit = size_t{32} << 20;

std::unique_ptr<zmr::seidsdocell> baseTree() {
  auto cell = std::make_unique<zmr::seidsdocell>();
  cell->first = std::make_unique<zmr::seidsdo>();
  zmr::seidsdo& sdo = *cell->first;
  sdo.version = "1.0";
  sdo.datapart = std::make_unique<zmr::seidsdodatapart>();
  sdo.datapart->first = std::make_unique<zmr::signatureelement>();
  auto e = std::make_unique<zmr::cmssignatureelement>();
  e->sdoprofile = "SEID-SDO-Basic-V";
  e->signaturepolicyidentifier = std::make_unique<zmr::signaturepolicyidentifier>();
  e->signaturepolicyidentifier->signaturepolicyid = std::make_unique<zmr::signaturepolicyid>();
  e->signaturepolicyidentifier->signaturepolicyid->sigpolicyid = std::make_unique<zmr::sigpolicyid>();
  e->signaturepolicyidentifier->signaturepolicyid->sigpolicyid->identifier = "urn:oid:2.999.10.1.16.4.1";
  e->signersdocumentformat = std::make_unique<zmr::signersdocumentformat>();
  e->signersdocumentformat->mimetype = "text/plain";
  e->hasheddata = std::make_unique<zmr::hasheddata>();
  e->hasheddata->digestmethod = "SHA-256";
  e->hasheddata->digestvalue = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";
  e->cmssignature = std::string(4000, 'M');
  e->usercertificateandrevocationdata = std::make_unique<zmr::usercertificateandrevocationdata>();
  auto& r = e->usercertificateandrevocationdata;
  r->revocationvalues = std::make_unique<zmr::revocationvalues>();
  r->revocationvalues->ocspvalues = std::make_unique<zmr::ocspvalues>();
  r->revocationvalues->ocspvalues->encapsulatedocspvalue = std::string(2000, 'O');
  sdo.datapart->first->element = std::move(e);
  return cell;
}

std::unique_ptr<zmr::seidsdocell> documentTree(size_t megabytes) {
  auto cell = baseTree();
  std::string text;
  text.reserve(megabytes << 20);
  const std::string line = std::string(76, 'Q') + "\n";
  while (text.size() < (megabytes << 20)) text += line;
  cell->first->signedobject = std::make_unique<zmr::signedobject>();
  cell->first->signedobject->signersdocument = std::move(text);
  return cell;
}

std::unique_ptr<zmr::seidsdocell> pairsTree(size_t pairs) {
  auto cell = baseTree();
  cell->first->metadata = std::make_unique<zmr::metadata>();
  std::unique_ptr<zmr::valuepair>* tail = &cell->first->metadata->first;
  for (size_t i = 0; i < pairs; ++i, tail = &(*tail)->next) {
    *tail = std::make_unique<zmr::valuepair>();
    (*tail)->name = "MerchantDesc";
    (*tail)->value = "Avtale nr " + std::to_string(i);
  }
  return cell;
}

struct Case {
  std::string name;
  std::unique_ptr<zmr::seidsdocell> tree;
  std::string xml;
};

std::vector<Case>& cases() {
  static std::vector<Case> all = [] {
    std::vector<Case> c;
    for (size_t mb : {1, 4, 16, 64}) c.push_back({std::to_string(mb) + "MB", documentTree(mb), {}});
    for (size_t n : {100000, 1000000}) c.push_back({std::to_string(n) + "pairs", pairsTree(n), {}});
    for (Case& k : c) zmr::zmrseidsdo2xml(session, *k.tree, k.xml, -1);
    return c;
  }();
  return all;
}

void XMLCALL noStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL noEnd(void*, const XML_Char*) {}
void XMLCALL noData(void*, const XML_Char*, int) {}

void bareExpat(benchmark::State& state, const Case* c) {
  for (auto _ : state) {
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetElementHandler(p, noStart, noEnd);
    XML_SetCharacterDataHandler(p, noData);
    if (XML_Parse(p, c->xml.data(), static_cast<int>(c->xml.size()), XML_TRUE) != XML_STATUS_OK)
      state.SkipWithError("bare parse failed");
    XML_ParserFree(p);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c->xml.size()));
}

// SDO lists: the stored document is held as bytes and written as one
// base64 text.
struct ListCase {
  std::string name;
  std::unique_ptr<zmr::sdolist> tree;
  std::string xml;
};

std::vector<ListCase>& listCases() {
  static std::vector<ListCase> all = [] {
    std::vector<ListCase> c;
    for (size_t mb : {1, 4, 16}) {
      auto tree = zmrtest::sampleSdoList();
      std::vector<unsigned char> document(mb << 20);
      for (size_t i = 0; i < document.size(); ++i) document[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
      tree->first->storeddata = std::move(document);
      c.push_back({std::to_string(mb) + "MB", std::move(tree), {}});
    }
    for (ListCase& k : c) zmr::zmrsdo2xml(session, *k.tree, k.xml);
    return c;
  }();
  return all;
}

void bareList(benchmark::State& state, const ListCase* c) {
  Case bare{c->name, nullptr, c->xml};
  bareExpat(state, &bare);
}

void readList(benchmark::State& state, const ListCase* c) {
  for (auto _ : state) {
    std::unique_ptr<zmr::sdolist> tree;
    if (zmr::xmltosdo(session, c->xml, tree) != 0) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(tree.get());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c->xml.size()));
}

void writeList(benchmark::State& state, const ListCase* c) {
  for (auto _ : state) {
    std::string xml;
    if (zmr::zmrsdo2xml(session, *c->tree, xml) != 0) state.SkipWithError("write failed");
    benchmark::DoNotOptimize(xml.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c->xml.size()));
}

void readSdo(benchmark::State& state, const Case* c) {
  for (auto _ : state) {
    std::unique_ptr<zmr::seidsdocell> tree;
    if (zmr::xmltoseidsdo(session, c->xml, tree, 1) != 0) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(tree.get());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c->xml.size()));
}

void writeSdo(benchmark::State& state, const Case* c) {
  for (auto _ : state) {
    std::string xml;
    if (zmr::zmrseidsdo2xml(session, *c->tree, xml, -1) != 0) state.SkipWithError("write failed");
    benchmark::DoNotOptimize(xml.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c->xml.size()));
}

}  // namespace

int main(int argc, char** argv) {
  zmrbench::initializeRepeated(argc, argv);
  for (const Case& c : cases()) {
    if (c.xml.size() < kBareLimit)
      benchmark::RegisterBenchmark(("expat/" + c.name).c_str(), bareExpat, &c)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("read/" + c.name).c_str(), readSdo, &c)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("write/" + c.name).c_str(), writeSdo, &c)->Unit(benchmark::kMillisecond);
  }
  for (const ListCase& c : listCases()) {
    benchmark::RegisterBenchmark(("sdolist-expat/" + c.name).c_str(), bareList, &c)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("sdolist-read/" + c.name).c_str(), readList, &c)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("sdolist-write/" + c.name).c_str(), writeList, &c)->Unit(benchmark::kMillisecond);
  }
  zmrbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto perMb = [&](const std::string& what, const std::string& name) {
    double rate = reporter.rate(what + "/" + name, 1);
    return rate > 0 ? 1e3 * (1 << 20) / rate : 0.0;  // milliseconds per MB
  };
  std::printf("\nms per MB        expat    read   write  read/expat\n");
  for (const Case& c : cases()) {
    double e = perMb("expat", c.name), r = perMb("read", c.name), w = perMb("write", c.name);
    if (e > 0)
      std::printf("%-14s %7.2f %7.2f %7.2f %8.2f\n", c.name.c_str(), e, r, w, r / e);
    else
      std::printf("%-14s %7s %7.2f %7.2f %8s\n", c.name.c_str(), "-", r, w, "-");
  }
  auto growth = [&](const std::string& what, const std::string& small, const std::string& large) {
    double s = perMb(what, small);
    return s > 0 ? perMb(what, large) / s : 0.0;
  };
  std::printf("\nper-MB time, large against small (flat is 1):\n");
  std::printf("  4MB / 1MB:            read %.2f  write %.2f  expat %.2f  (goal <= 1.3 for read and write)\n",
              growth("read", "1MB", "4MB"), growth("write", "1MB", "4MB"), growth("expat", "1MB", "4MB"));
  std::printf("  16MB / 1MB:           read %.2f  write %.2f  expat %.2f  (goal <= 1.3 for read and write)\n",
              growth("read", "1MB", "16MB"), growth("write", "1MB", "16MB"), growth("expat", "1MB", "16MB"));
  std::printf("  64MB / 1MB:           read %.2f  write %.2f  (goal <= 1.3 for read and write)\n",
              growth("read", "1MB", "64MB"), growth("write", "1MB", "64MB"));
  std::printf("  10^6 / 10^5 pairs:    read %.2f  write %.2f  expat %.2f  (goal <= 1.3 for read and write)\n",
              growth("read", "100000pairs", "1000000pairs"), growth("write", "100000pairs", "1000000pairs"),
              growth("expat", "100000pairs", "1000000pairs"));
  std::printf("  SDO list 16MB / 1MB:  read %.2f  write %.2f  expat %.2f\n", growth("sdolist-read", "1MB", "16MB"),
              growth("sdolist-write", "1MB", "16MB"), growth("sdolist-expat", "1MB", "16MB"));
  std::printf("  SDO list 16MB / 4MB:  read %.2f  write %.2f  expat %.2f\n", growth("sdolist-read", "4MB", "16MB"),
              growth("sdolist-write", "4MB", "16MB"), growth("sdolist-expat", "4MB", "16MB"));
  benchmark::Shutdown();
  return 0;
}
