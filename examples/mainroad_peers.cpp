// The merchant's peers for the main-road demo (mainroad.c), in a process
// of their own: a development PKI and the merchant's files in a fresh
// directory of the build tree, the Rirorer Idor Azoriva and the validation authority as TLS
// stand-ins on 127.0.0.1, and the end user's client. All of it is the
// library's test support; the merchant's process links only libzmr.
//
// It talks with the merchant over its standard input and output, one line
// per message, words separated by single spaces (every word is base64 or
// form-encoded, so none holds a space):
//   peers -> merchant: "files <keyfile> <password> <properties>" once;
//     "message <operation> <encKey> <encData> <encAuth>" a client request;
//     "done" a verification answer judged good; "fail <reason>".
//   merchant -> peers: "auth <traceId>"; "sign <traceId> <document>..."
//     (document: text|pdf ":" base64 content ":" base64 description);
//     "answer <answer>" to the last request; "bye".
// Its own report lines go to standard error, which the merchant shares
// with its standard output, so that the lines of all actors come in order.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/roadsetup.h"
#include "support/txclient.h"

namespace {

namespace tx = zmrtest::tx;

void line(const char* actor, const std::string& function, const std::string& code, const std::string& what) {
  std::fprintf(stderr, "%-9s %-34s %5s  %s\n", actor, function.c_str(), code.c_str(), what.c_str());
}

void send(const std::string& message) {
  std::cout << message << std::endl;
}

[[noreturn]] void failed(const char* actor, const std::string& function, const std::string& why) {
  line(actor, function, "FAIL", why);
  send("fail " + tx::formEncode(why));
  std::exit(1);
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::string envelopeMessage(const zmrtest::TxRequest& r) {
  return "message " + r.operation + " " + r.envelope.encKey + " " + r.envelope.encData + " " + r.envelope.encAuth;
}

// The merchant's answer to the last request, read from standard input.
std::string readAnswer() {
  std::string text;
  if (!std::getline(std::cin, text)) std::exit(1);
  std::vector<std::string> w = words(text);
  if (w.size() == 1 && w[0] == "bye") std::exit(0);  // the merchant ended early and says why
  if (w.size() != 2 || w[0] != "answer") failed("client", "reading the merchant's answer", "unexpected: " + text);
  return w[1];
}

std::string shortText(const std::string& text, size_t most = 40) {
  std::string out;
  for (char c : text.substr(0, most)) out += c == '\n' ? ' ' : c;
  return text.size() > most ? out + "..." : out;
}

class Peers {
 public:
  Peers() : road_(zmrtest::makeRoadSetup("demo-mainroad", 1)) {
    if (!zmrtest::devCentralKey(1) || !zmrtest::devCoiKey(1))
      failed("stand-in", "development central keys", "the build made no development key set");
    road_.sdm->answer([this](const zmrtest::SdmRequest& r) { return initSession(r); });
    road_.va->answer([this](const zmrtest::VaRequest& r) { return certificateStatus(r); });
    const zmrtest::MerchantFiles& m = road_.merchant;
    line("stand-in", "development PKI", "ok",
         "root \"" + zmrtest::environmentRootName(1) + "\", issuing CA, merchant, end user, responder; in " + m.dir);
    line("stand-in", "Rirorer Idor Azoriva", "ok", "TLS on " + road_.sdm->url());
    line("stand-in", "validation authority", "ok", "TLS on 127.0.0.1:" + std::to_string(road_.va->port()));
    client_ = std::make_unique<zmrtest::TxClient>(m.pki, "merchant.example,127.0.0.1", zmrtest::devCoiKey(1));
    send("files " + m.keyfile + " " + m.password + " " + m.properties);
  }

  void run() {
    for (std::string text; std::getline(std::cin, text);) {
      std::vector<std::string> w = words(text);
      if (w.empty()) continue;
      if (w[0] == "bye") return;
      if (w[0] == "auth" && w.size() == 2) {
        authenticate(w[1]);
      } else if (w[0] == "sign" && w.size() >= 3) {
        sign(w[1], std::vector<std::string>(w.begin() + 2, w.end()));
      } else {
        failed("client", "reading the merchant", "unexpected: " + text);
      }
    }
  }

 private:
  // The stand-ins answer on their own threads: a refusal is reported and
  // answered, and the merchant's call then fails.
  static zmrtest::HttpResponse refuse(const std::string& who, const std::string& why) {
    line("stand-in", who, "FAIL", why);
    zmrtest::HttpResponse out;
    out.status = 400;
    out.reason = "Bad Request";
    return out;
  }

  zmrtest::HttpResponse initSession(const zmrtest::SdmRequest& r) {
    if (!r.opened || !r.signatureValid || !r.popValid)
      return refuse("Rirorer Idor Azoriva /sdm/", "request refused: " + (r.opened ? "signature or popParameters" : r.why));
    tx::Form payload = zmrtest::SdmStandin::goodPayload(r);
    const std::string tid = "tid-" + std::to_string(++transactions_) + "-" + tx::b64(tx::randomBytes(6));
    zmrtest::setField(payload, "tid", tid);
    line("stand-in", "Rirorer Idor Azoriva /sdm/", "ok",
         "initSession (action " + r.field("action").value_or("?") +
             ") opened with the central key; merchant signature, popParameters valid; tid " + tid);
    return zmrtest::SdmStandin::reply(r, payload);
  }

  zmrtest::HttpResponse certificateStatus(const zmrtest::VaRequest& r) {
    if (!r.decoded || !r.signatureValid) return refuse("validation authority", "request refused: " + r.why);
    // ZMR_DEMO_REVOKED=1 shows a failure: the user's certificate is revoked.
    const char* revoked = std::getenv("ZMR_DEMO_REVOKED");
    zmrtest::OcspSpec spec = road_.va->goodSpec(r);
    if (revoked != nullptr && std::string(revoked) == "1") spec.singles[0].status = V_OCSP_CERTSTATUS_REVOKED;
    line("stand-in", "validation authority", "ok",
         "OCSP request signed by the merchant (valid), billing \"" +
             shortText(r.extension(zmrtest::kOidBilling).value_or(""), 24) + "\"; answered " +
             (spec.singles[0].status == V_OCSP_CERTSTATUS_GOOD ? "good" : "revoked") + ", nonce echoed");
    return zmrtest::VaStandin::reply(spec);
  }

  // init, then the verification, each answered by the merchant and judged.
  void transaction(const std::string& kind, const zmrtest::TxRequest& init, const zmrtest::MerchantItems& items) {
    send(envelopeMessage(init));
    zmrtest::TxAnswer a = client_->check(init, readAnswer(), items);
    if (!a.ok) failed("client", "check of the " + kind + " answer", a.why);
    std::string checked;
    if (kind == "initAuth") {
      checked = "merchant's signature over the client challenge, server challenge, zmrChannel and its signature";
    } else {
      const std::vector<std::string> data = zmrtest::TxClient::documentsData(*a.field("Documents"));
      for (size_t i = 0; i < data.size(); ++i)
        line("client", "shows document " + std::to_string(i + 1), "ok",
             "\"" + items.documents[i].description + "\": " + std::to_string(data[i].size()) + " bytes, \"" +
                 shortText(data[i], 24) + "\"");
      checked = "Documents as set; coiData opened with the COI key: hashes, merchant signatures, coiDataSignature";
    }
    line("client", "check of the " + kind + " answer", "ok", checked);

    const bool auth = kind == "initAuth";
    tx::Form fields = auth ? client_->verifyAuthFields(init, a) : client_->verifySignFields(init, a);
    zmrtest::TxRequest verification = client_->request(auth ? "verifyAuth" : "verifySign", fields);
    line("client", verification.operation + " request", "ok",
         auth ? "user's authentication signature (digitalSignature) over the decoded server challenge"
              : "user's signing signature (nonRepudiation) over each document, ocsp about the merchant, cpReport");
    send(envelopeMessage(verification));
    zmrtest::TxAnswer response = client_->checkResponse(init, verification, readAnswer(), {});
    if (!response.ok) failed("client", "check of the verification answer", response.why);
    line("client", "check of the verification answer", "ok",
         "opened with the init key: status=" + response.field("status").value_or("?") + ", vaPerf=" +
             response.field("vaPerf").value_or("?") + " ms");
    send("done");
  }

  void authenticate(const std::string& traceId) {
    zmrtest::MerchantItems items;
    items.traceId = traceId;
    zmrtest::TxRequest init = client_->request("initAuth", client_->authFields(zmrtest::Carrier::nczmr20, "2.1", traceId));
    line("client", "initAuth request", "ok",
         "NC_ZMR20, clientInfo 2.1, traceId " + traceId + ", fresh client challenge; user " + client_->user().name);
    transaction("initAuth", init, items);
  }

  void sign(const std::string& traceId, const std::vector<std::string>& documents) {
    zmrtest::MerchantItems items;
    items.traceId = traceId;
    for (const std::string& d : documents) {
      zmrtest::TxDocument doc;
      const size_t a = d.find(':'), b = d.find(':', a + 1);
      if (a == std::string::npos || b == std::string::npos || !tx::unb64(d.substr(a + 1, b - a - 1), doc.content) ||
          !tx::unb64(d.substr(b + 1), doc.description))
        failed("client", "reading the documents", d);
      doc.kind = d.substr(0, a) == "pdf" ? zmrtest::TxDocument::pdf : zmrtest::TxDocument::text;
      items.documents.push_back(doc);
    }
    zmrtest::TxRequest init = client_->request("initSign", client_->signFields(zmrtest::Carrier::nczmr20, "2.1", traceId));
    line("client", "initSign request", "ok", "NC_ZMR20, clientInfo 2.1, traceId " + traceId);
    transaction("initSign", init, items);
  }

  zmrtest::RoadSetup road_;
  std::unique_ptr<zmrtest::TxClient> client_;
  std::atomic<int> transactions_{0};
};

}  // namespace

int main() {
  try {
    Peers peers;
    peers.run();
  } catch (const std::exception& e) {
    failed("stand-in", "peers", e.what());
  }
  return 0;
}
