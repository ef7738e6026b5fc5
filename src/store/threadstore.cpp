#include "store/threadstore.h"

#include <openssl/err.h>

#include <atomic>
#include <utility>
#include <vector>

#include "misc/status.h"
#include "store/sessionstore.h"
#include "tools/stringoperations.h"

namespace zmr {
namespace {

std::atomic<int> infoslots{0};
std::atomic<int> errorslots{0};

bool claim(std::atomic<int>& counter) {
  if (counter.fetch_add(1, std::memory_order_relaxed) >= kMaxThreadSlots) {
    counter.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  return true;
}

struct InfoItem {
  std::string key;    // as pushed
  std::string lower;  // for the case-insensitive lookups
  std::string value;
};

struct ThreadStore {
  bool errorslot = false;
  std::string recenterror;
  bool infoslot = false;
  std::vector<InfoItem> items;
  std::unique_ptr<document> documents;

  ThreadStore() = default;
  ThreadStore(const ThreadStore&) = delete;
  ThreadStore& operator=(const ThreadStore&) = delete;
  ~ThreadStore() {
    if (errorslot) errorslots.fetch_sub(1, std::memory_order_relaxed);
    if (infoslot) infoslots.fetch_sub(1, std::memory_order_relaxed);
  }
};

ThreadStore& store() {
  thread_local ThreadStore s;
  return s;
}

bool claiminfo(ThreadStore& s) {
  if (!s.infoslot) s.infoslot = claim(infoslots);
  return s.infoslot;
}

}  // namespace

document::~document() {
  while (next) {
    std::unique_ptr<document> rest = std::move(next->next);
    next = std::move(rest);
  }
}

int setlasterror(int, std::string_view message) {
  ThreadStore& s = store();
  if (!s.errorslot) {
    s.errorslot = claim(errorslots);
    if (!s.errorslot) return kOk;
  }
  s.recenterror.append(message);
  return kOk;
}

int getlasterror(int, std::optional<std::string>& out) {
  ThreadStore& s = store();
  out.reset();
  if (s.errorslot) {
    out = std::move(s.recenterror);
    s.recenterror = std::string();
    s.errorslot = false;
    errorslots.fetch_sub(1, std::memory_order_relaxed);
  }
  ERR_clear_error();
  return kOk;
}

const std::string* peeklasterror() {
  ThreadStore& s = store();
  return s.errorslot ? &s.recenterror : nullptr;
}

int pushinfoitem(int session, std::string_view key, std::string_view value) {
  if (checksessionvalidity(session) != 0) return 2009;
  ThreadStore& s = store();
  if (!claiminfo(s)) return 2032;
  if (s.items.size() >= static_cast<size_t>(kMaxInfoItems)) return 2023;
  s.items.push_back(InfoItem{std::string(key), tolower_ascii(key), std::string(value)});
  return kOk;
}

int popinfoitem(int session, std::string_view key, std::string& out) {
  if (checksessionvalidity(session) != 0) return 2009;
  ThreadStore& s = store();
  if (!s.infoslot) return 2022;
  std::string lower = tolower_ascii(key);
  for (const InfoItem& item : s.items) {
    if (item.lower == lower) {
      out = item.value;
      return kOk;
    }
  }
  return 2022;
}

int wildcard_countinfoitems(int session, std::string_view pattern, int* out) {
  *out = 0;
  if (checksessionvalidity(session) != 0) return 2009;
  ThreadStore& s = store();
  if (!s.infoslot || s.items.empty()) return 2022;
  std::string lower = tolower_ascii(pattern);
  int count = 0;
  for (const InfoItem& item : s.items) {
    if (item.lower.find(lower) != std::string::npos) ++count;
  }
  *out = count;
  return 2022;  // the normal result: callers accept 0 and 2022
}

int wildcard_popinfoitem(int session, std::string_view pattern, int n, std::string& key, std::string& value) {
  if (checksessionvalidity(session) != 0) return 2009;
  ThreadStore& s = store();
  if (!s.infoslot || s.items.empty() || n < 0) return 2022;
  std::string lower = tolower_ascii(pattern);
  int seen = 0;
  for (const InfoItem& item : s.items) {
    if (item.lower.find(lower) == std::string::npos) continue;
    if (seen++ == n) {
      key = item.lower;
      value = item.value;
      return kOk;
    }
  }
  return 2022;
}

int removeallinfoitems(int session) {
  if (checksessionvalidity(session) != 0) return 2009;
  ThreadStore& s = store();
  if (!s.infoslot) return kOk;
  s.items.clear();
  s.items.shrink_to_fit();
  s.documents.reset();
  s.infoslot = false;
  infoslots.fetch_sub(1, std::memory_order_relaxed);
  return kOk;
}

int getdocuments(int session, document** out) {
  if (checksessionvalidity(session) != 0) return 2009;
  ThreadStore& s = store();
  if (!claiminfo(s)) return 2032;
  if (!s.documents) s.documents = std::make_unique<document>();
  *out = s.documents.get();
  return kOk;
}

}  // namespace zmr
