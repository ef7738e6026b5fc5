// Exported functions of transaction initialisation, authentication
// challenges and the secure channel.
#include <cstdlib>

#include "api/frame.h"
#include "services/challenges/challengesops.h"
#include "services/inittransaction/inittransactionops.h"
#include "services/verifytransaction/verifytransactionops.h"

using namespace zmr;

namespace {

std::optional<std::string_view> optionaltextof(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string_view(text);
}

// Hands out both texts; whichever is set stays with the caller when the
// operation failed after making it.
int handoutpair(int rc, const std::string& first, char** firstout, const std::string& second, char** secondout) {
  int copied = first.empty() ? 0 : handout(first, firstout);
  if (copied == 0 && !second.empty()) copied = handout(second, secondout);
  if (copied != 0) {
    for (char** p : {firstout, secondout}) {
      std::free(*p);
      *p = nullptr;
    }
    return rc != kOk ? rc : copied;
  }
  return rc;
}

}  // namespace

ZMR_EXPORT int zmr_inittransaction(int session, const char* enckey, const char* encdata, const char* encauth,
                                   const char* operation, const char* extra, char** response) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(checkarguments({requiredtextarg(enckey), requiredtextarg(encdata), requiredtextarg(encauth),
                          requiredtextarg(operation), optionaltextarg(extra), requiredarg(response)}));
  *response = nullptr;
  return guarded([&] {
    std::optional<std::string> answer;
    ZMR_TRY(inittransaction(session, enckey, encdata, encauth, operation, optionaltextof(extra), answer));
    return handout(answer, response);
  });
}

ZMR_EXPORT int zmr_verifytransactionrequest(int session, const char* enckey, const char* encdata, const char* encauth,
                                            const char* operation, const char* extra) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(checkarguments({requiredtextarg(enckey), requiredtextarg(encdata), requiredtextarg(encauth),
                          requiredtextarg(operation), optionaltextarg(extra)}));
  return guarded(
      [&] { return verifytransactionrequest(session, enckey, encdata, encauth, operation, optionaltextof(extra)); });
}

ZMR_EXPORT int zmr_verifytransactionresponse(int session, char** response) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(response));
  *response = nullptr;
  return guarded([&] {
    std::optional<std::string> answer;
    ZMR_TRY(verifytransactionresponse(session, answer));
    return handout(answer, response);
  });
}

ZMR_EXPORT int zmr_authenticateserver(int session, char** signature, char** serverchallenge,
                                      const char* clientchallenge, const char* authheader, const char* prepareflag) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(required(signature));
  ZMR_TRY(required(serverchallenge));
  ZMR_TRY(requiredtext(clientchallenge));
  ZMR_TRY(optionaltext(authheader));
  ZMR_TRY(optionaltext(prepareflag));
  *signature = nullptr;
  *serverchallenge = nullptr;
  return guarded([&] {
    std::string pkcs7, challenge;
    int rc = authenticateserver(session, pkcs7, challenge, clientchallenge, optionaltextof(authheader),
                                optionaltextof(prepareflag));
    return handoutpair(rc, pkcs7, signature, challenge, serverchallenge);
  });
}

ZMR_EXPORT int zmr_authenticateclient(int session, const char* clientpkcs7, const char* serverchallenge) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(serverchallenge));
  ZMR_TRY(requiredtext(clientpkcs7));
  return guarded([&] { return authenticateclient(session, clientpkcs7, serverchallenge); });
}

ZMR_EXPORT int zmr_createsecurechannel(int session, const char* pkcs7, char** signature, char** channel) {
  if (session < 0) return kBadArgument;
  ZMR_TRY(requiredtext(pkcs7));
  ZMR_TRY(required(signature));
  ZMR_TRY(required(channel));
  *signature = nullptr;
  *channel = nullptr;
  return guarded([&] {
    std::string sig, text;
    int rc = createsecurechannel(session, pkcs7, sig, text);
    return handoutpair(rc, sig, signature, text, channel);
  });
}
