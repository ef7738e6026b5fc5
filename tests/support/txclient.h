// A simulated end user's client for transaction initialisation and
// verification, written from OpenSSL, the test-side scheme (txscheme.h)
// and the test PKI alone.
//
// It holds what a real client holds: the merchant's two certificates, the
// scheme's root, the merchant's webaddress and (for multi-document
// signing) the private COI key. It builds init requests as a client sends
// them and judges the merchant's answers field by field against what the
// merchant's application set (MerchantItems), so that a test states a case
// and gets one verdict with the reason.
//
//   zmrtest::TxClient client(pki, "merchant.example,127.0.0.1", zmrtest::devCoiKey(1));
//   zmrtest::MerchantItems items;
//   items.optional = {{"userID", "u1"}};
//   ASSERT_EQ(0, items.apply(session));
//   zmrtest::TxRequest r = client.request("initAuth", client.authFields(zmrtest::Carrier::nczmr20));
//   std::string answer;
//   ASSERT_EQ(0, zmrtest::initTransaction(session, r, answer)) << zmrtest::recentError();
//   zmrtest::TxAnswer a = client.check(r, answer, items);
//   EXPECT_TRUE(a.ok) << a.why;
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <optional>
#include <string>
#include <vector>

#include "misc/ossl.h"
#include "pki.h"
#include "txscheme.h"

namespace zmrtest {

// The private half of the development COI key of environment 1 or 2 that
// the build made (cmake/centralkeys.cmake); null when it has none.
zmr::EvpPkeyPtr devCoiKey(int environment);

enum class Carrier { nczmr20, none, mobile };

// One document of the thread's list for multi-document signing.
struct TxDocument {
  enum Kind { text, pdf, xml } kind = text;
  std::string content;  // the bytes (text, pdf; sent in base64) or the XML text
  std::string xsl;      // xml
  std::string description;  // Latin-1
};

// What the merchant's application sets before zmr_inittransaction, and so
// what the answer must show. Unset optionals are not set.
struct MerchantItems {
  std::optional<std::string> traceId = std::string("trace-0001");
  tx::Form channel;   // channel items (keys holding "c_"), set first, in order
  tx::Form optional;  // userID, OTPService, timeout, nextURL, userIDKeystrokeData
  // The document of a single signing: mimeType as set; data the bytes
  // (mobile: a Latin-1 text), set in base64; xml and xsl for text/ZMRXML.
  std::optional<std::string> mimeType;
  std::optional<std::string> data;
  std::optional<std::string> xml, xsl;
  std::optional<std::string> description;  // dataDescription, Latin-1
  std::optional<std::string> signers;
  std::optional<std::string> extPDFUrl;
  std::optional<std::string> cmsFormat, ocspFormat;
  std::vector<TxDocument> documents;  // added with zmr_adddocument*

  // Sets everything above through the exported functions: the first
  // failing code, else 0.
  int apply(int session) const;
};

// A request as the client sent it.
struct TxRequest {
  std::string operation;
  tx::Form fields;      // the plain form, in order
  std::string basekey;  // raw
  tx::Envelope envelope;
  std::optional<std::string> extra;  // the extra text passed beside the envelope (and covered by its tag)
  std::optional<std::string> field(const std::string& key) const { return tx::field(fields, key); }
};

// The client's verdict on an answer.
struct TxAnswer {
  bool ok = false;
  std::string why;              // the first check that failed
  tx::Form fields;              // the opened answer, in order
  std::string serverChallenge;  // decoded, when the answer has one
  std::optional<std::string> field(const std::string& key) const { return tx::field(fields, key); }
};

// How a request departs from a proper one, for tests of the receiving end.
struct Tamper {
  std::string basekey{};                    // a chosen base key ("": fresh), e.g. the init request's
  EVP_PKEY* to = nullptr;                   // wrap the base key for this key instead of the merchant's
  std::optional<std::string> extra{};       // sent beside the envelope, covered by the tag
  std::optional<std::string> tagOperation{};  // the tag covers this operation text, not the one sent
  bool flipTag = false;                     // one bit of the tag flipped
  std::optional<std::string> plain{};       // this plain text in place of the rendered fields
};

// What the merchant's application sets for the verification response
// (zmr_verifytransactionresponse), and so what the answer must show.
struct ResponseItems {
  std::optional<std::string> errorCode{};  // e.g. after a failed verification
  std::optional<std::string> sdo{}, target{}, nextURL{};
  // Whether vaPerf is due; unset: exactly when the verification asked the
  // validation authority (verifyAuth, verifySign).
  std::optional<bool> vaPerf{};

  // Sets errorCode, sdo, target and nextURL (those given) as info items:
  // the first failing code, else 0.
  int apply(int session) const;
};

// The report text a client sends as rtReport or cpReport: the pairs
// form-encoded and joined by "&".
std::string reportText(const tx::Form& pairs);

// Sets or replaces (first occurrence) / drops a field of a form.
void setField(tx::Form& form, const std::string& key, const std::string& value);
void dropField(tx::Form& form, const std::string& key);

class TxClient {
 public:
  // pki gives the root and the merchant's certificates (authentication
  // key: the key the requests are encrypted to), the issuing CA and the
  // responder of the signing's ocsp field. The end user is
  // makeEndUser(pki) unless setUser names another.
  TxClient(const TestPki& pki, std::string webaddress, zmr::EvpPkeyPtr coiKey = nullptr);

  // The fields of a request, as a client of that carrier sends them:
  // NC_ZMR20 carrier, clientInfo, traceId; no carrier clientIp; mobile
  // carrier, prepareText ("false"). Authentication adds clientChallenge
  // (base64 of 20 fresh random bytes) and, for mobile, authHeader (base64
  // of a Latin-1 text naming the merchant's signing certificate's common
  // name). Edit them with setField / dropField.
  tx::Form authFields(Carrier carrier, const std::string& clientInfo = "2.0",
                      const std::string& traceId = "trace-0001") const;
  tx::Form signFields(Carrier carrier, const std::string& clientInfo = "2.0",
                      const std::string& traceId = "trace-0001") const;
  // The plain form under a fresh 32-byte base key for the merchant's
  // authentication key; the operation text is also the operation argument.
  TxRequest request(const std::string& operation, const tx::Form& fields) const;
  // The same, bent as how says.
  TxRequest request(const std::string& operation, const tx::Form& fields, const Tamper& how) const;

  // Opens the answer with the request's key and checks every field of the
  // case the request makes (carrier, clientInfo, operation): the exact
  // field list, the merchant's signatures, the server challenge, the
  // channel text and its signature, the documents and the coiData.
  TxAnswer check(const TxRequest& request, const std::string& answer, const MerchantItems& items) const;

  // ---- verification (after the answer to init) ----
  //
  // Each gives the fields of the verification request, starting with the
  // init request's carrier, clientInfo and traceId (those it had), from the
  // init request and its judged answer (check above). Send them with
  // request("verifyAuth" | "verifySign" | "handleError", fields).

  // pkcs7: the user's authentication signature over the decoded server
  // challenge; then rtReport when given.
  tx::Form verifyAuthFields(const TxRequest& init, const TxAnswer& answer,
                            const std::optional<std::string>& rtReport = std::nullopt) const;
  // Answers with Documents (client 2.1): clientpkcs7s (the user's signing
  // signature over each document's decoded data, in order, joined by ","),
  // ocsp, cpReport (the text form-encoded once more, so the merchant's item
  // holds the text) and rtReport when given. Others (2.0, no carrier,
  // mobile): pkcs7 over the decoded data, ocsp.
  tx::Form verifySignFields(const TxRequest& init, const TxAnswer& answer,
                            const std::optional<std::string>& rtReport = std::nullopt,
                            const std::string& cpReport = kCpReport) const;
  // errCode; then rtReport when given.
  tx::Form handleErrorFields(const TxRequest& init, const std::string& errCode,
                             const std::optional<std::string>& rtReport = std::nullopt) const;
  static constexpr const char* kCpReport = "cpVersion=2.1.0&cpResult=shown";

  // The answer of zmr_verifytransactionresponse: it must open with the init
  // request's key; its fields must be status=OK, or errCode= the client's
  // code (handleError) or else the merchant's, then sdo, target, nextURL and
  // vaPerf (decimal) as items says, in this order (target and nextURL never
  // for carrier mobile).
  TxAnswer checkResponse(const TxRequest& init, const TxRequest& verification, const std::string& answer,
                         const ResponseItems& items) const;

  // A detached SignedData over content as a client makes it: PKCS7_sign
  // with PKCS7_DETACHED | PKCS7_BINARY (without binary: text mode, which
  // turns line feeds into CR LF before signing), SHA-256, carrying the
  // signer's certificate and then the issuing CA (withCa); base64 DER.
  std::string userSignature(const std::string& content, const TestCert& signer, bool binary = true,
                            bool withCa = true) const;
  // The ocsp field of a signing: base64 DER BasicOCSPResponse, good, about
  // the merchant's signing certificate, made by the PKI's responder.
  std::string serverOcsp() const;
  // The data members of a Documents text, decoded, in order.
  static std::vector<std::string> documentsData(const std::string& documentsJson);

  const EndUser& user() const { return user_; }
  void setUser(const EndUser& user) { user_ = user; }

  // ---- checks usable on their own ----

  // The detached base64 DER PKCS#7 verifies (binary) over content, chains
  // to the root, is signed by signer, and carries the channel attribute
  // (1.2.840.113549.1.9.25.3 = OCTET STRING "ZMR Channel") exactly when
  // channel is set. false with the reason in why.
  bool verifyDetached(const std::string& pkcs7, const std::string& content, X509* signer, bool channel,
                      std::string& why) const;
  // The channel text the merchant must have signed for its PKCS#7 (signer
  // key size decides the digest), the channel items and the challenge or
  // signed bytes behind c_sc and c_scsha256.
  static std::string channelText(const std::string& pkcs7Der, X509* signer, const tx::Form& channelItems,
                                 const std::string& hashed);
  // The Documents text of a multi-document answer.
  static std::string documentsJson(const std::vector<TxDocument>& documents);
  // The text the ZelmorXML envelope of signxml holds.
  static std::string xmlEnvelope(const std::string& xml, const std::string& xsl);

  X509* merchantAuth() const { return auth_.get(); }
  X509* merchantSign() const { return sign_.get(); }
  X509* root() const { return root_.get(); }
  const std::string& webaddress() const { return webaddress_; }

 private:
  bool checkServerChallenge(const TxRequest& request, const std::string& b64, TxAnswer& out) const;
  bool checkChannel(const TxAnswer& answer, const std::string& pkcs7, X509* signer, const MerchantItems& items,
                    const std::string& hashed, std::string& why) const;
  bool checkCoiData(const std::string& value, const MerchantItems& items, std::string& why) const;
  bool checkProfile(const std::string& pkcs7, const MerchantItems& items, std::string& why) const;

  TestCert auth_, sign_, root_, ca_, responder_;
  EndUser user_;
  std::string webaddress_;
  zmr::EvpPkeyPtr coiKey_;
};

// zmr_inittransaction with the request's texts: its code; answer receives
// the response ("" when none).
int initTransaction(int session, const TxRequest& request, std::string& answer);
// zmr_verifytransactionrequest with the request's texts: its code.
int verifyTransaction(int session, const TxRequest& request);
// zmr_verifytransactionresponse: its code; answer receives the response.
int verifyResponse(int session, std::string& answer);

}  // namespace zmrtest
