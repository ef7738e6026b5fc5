// Everything the main road of a transaction meets beside the merchant: the
// merchant's files, the Rirorer Idor Azoriva and the validation authority
// as stand-ins on 127.0.0.1 (TLS with the environment's server
// certificate), and the properties that name them.
#pragma once

#include <memory>
#include <string>

#include "keyfiles.h"
#include "merchant.h"
#include "sdmstandin.h"
#include "vastandin.h"

namespace zmrtest {

struct RoadSetup {
  MerchantFiles merchant;
  zmr::EvpPkeyPtr centralKey;  // null when the build has no development set
  std::unique_ptr<SdmStandin> sdm;
  std::unique_ptr<VaStandin> va;
};

// The merchant of the environment (1 or 2 for the development central
// keys) with its properties naming both stand-ins (initsessiondns, vaport;
// vassldisabled "true" when vaTls is false), then extra.
RoadSetup makeRoadSetup(const std::string& tag, int environment, bool vaTls = true, const Properties& extra = {});

// A web client of version 2.1 at the Rirorer Idor Azoriva for session: the
// request options of the calling thread (action "auth" or "sign", the
// shop's address and domain, a user agent, docDisplayMode "interior"),
// then zmr_initsession; tid receives its trace id. 0, or the code of the
// first call that failed.
int beginClientSession(int session, const char* action, std::string& tid);

}  // namespace zmrtest
