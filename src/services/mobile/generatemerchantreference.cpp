#include <openssl/rand.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <unordered_set>

#include "store/setup.h"
#include "misc/status.h"
#include "net/http_lib.h"
#include "net/mgmfetools.h"
#include "services/mobile/dictionaries.h"
#include "services/mobile/mobileops.h"
#include "store/sessionstore.h"
#include "store/threadstore.h"

namespace zmr {

using Lists = std::shared_ptr<const wordlists>;

// The outcome of a locale's first fetch, for the callers of that locale
// that come while it runs. They wait here, holding no lock.
struct firstfetch {
  std::mutex mutex;
  std::condition_variable settled;
  bool done = false;
  Lists lists;  // null when the fetch failed

  void finish(Lists result) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
      lists = std::move(result);
    }
    settled.notify_all();
  }
  Lists wait() {
    std::unique_lock<std::mutex> lock(mutex);
    settled.wait(lock, [this] { return done; });
    return lists;
  }
};

// A cached locale: read and changed only under "merchantreference". Lists
// are never changed in place, only replaced, so a caller may go on drawing
// from the ones it took after the lock is released.
struct dictionary {
  std::string locale;  // compared exactly
  int64_t fetched = 0;
  Lists lists;  // null while the first fetch runs
  std::shared_ptr<firstfetch> pending;
  bool refreshing = false;
  int64_t retryafter = 0;  // a failed refresh is not retried before this
};

DictionarySlots& dictData() {
  static DictionarySlots slots;
  return slots;
}

namespace {

constexpr size_t kMinWords = 100;
constexpr int64_t kMaxAgeSeconds = 86400;
constexpr int64_t kRetryPauseSeconds = 300;
constexpr int64_t kFetchTimeoutMs = 40000;
constexpr const char* kLock = "merchantreference";
constexpr std::string_view kPrefix = "generatemerchantreference_generatemerchantreference: ";

std::atomic<ReferenceClock> clockseam{nullptr};
std::atomic<ReferenceRandom> randomseam{nullptr};

int64_t now() {
  ReferenceClock clock = clockseam.load();
  return clock != nullptr ? clock() : static_cast<int64_t>(std::time(nullptr));
}

bool drawrandom(unsigned char* out, int count) {
  ReferenceRandom random = randomseam.load();
  return (random != nullptr ? random(out, count) : RAND_bytes(out, count)) == 1;
}

constexpr Where kAt{kPrefix, true};

// The words of a comma-separated list, in order, when there are enough of
// them and none repeats.
bool splitlist(std::string_view list, std::vector<std::string>& words) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t comma = list.find(',', start);
    parts.push_back(list.substr(start, comma - start));  // to the end when there is no comma
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (parts.size() < kMinWords) return false;
  if (std::unordered_set<std::string_view>(parts.begin(), parts.end()).size() != parts.size()) return false;
  words.assign(parts.begin(), parts.end());
  return true;
}

const std::string& wordat(const std::vector<std::string>& words, unsigned char high, unsigned char low) {
  return words[(static_cast<size_t>(high) * 256 + low) % words.size()];
}

int getDictionaryFromServer(const Session& s, std::string_view locale, Lists& out) {
  const int session = s.number;
  std::string body;
  std::vector<mgmfeparameter> fields = {{"action", "getDictionary"}, {"locale", std::string(locale)}};
  if (int rc = mgmfeutil_send(s, fields, body, kFetchTimeoutMs); rc != kOk) return rc;
  auto lists = std::make_shared<wordlists>();
  if (readdictionary(body, *lists) != kOk) {
    setlasterror(session,
                 "generatemerchantreference_getdictionaryfromserver: Failed to validate received dictionary.\n");
    return kReferenceInvalid;
  }
  out = std::move(lists);
  return kOk;
}

std::shared_ptr<dictionary>* findslot(const std::shared_ptr<dictionary>& record) {
  for (auto& slot : dictData()) {
    if (slot == record) return &slot;
  }
  return nullptr;
}

// Ends a locale's first fetch: installs its lists, or drops the record so
// that the next caller starts afresh, and wakes the callers waiting on it.
// Runs on every way out of the fetch, exceptions included.
class FirstFetchSettler {
 public:
  FirstFetchSettler(int session, std::shared_ptr<dictionary> record, std::shared_ptr<firstfetch> pending)
      : session_(session), record_(std::move(record)), pending_(std::move(pending)) {}
  FirstFetchSettler(const FirstFetchSettler&) = delete;
  FirstFetchSettler& operator=(const FirstFetchSettler&) = delete;
  ~FirstFetchSettler() {
    if (pending_) settle(nullptr);
  }
  void settle(Lists lists) noexcept {
    {
      NamedLock lock(session_, kLock);
      if (lock.ok()) {
        if (lists) {
          record_->lists = lists;
          record_->fetched = now();
          record_->pending.reset();
        } else if (std::shared_ptr<dictionary>* slot = findslot(record_)) {
          slot->reset();
        }
      }
    }
    pending_->finish(std::move(lists));
    pending_.reset();
  }

 private:
  int session_;
  std::shared_ptr<dictionary> record_;
  std::shared_ptr<firstfetch> pending_;
};

// Ends a refresh: new lists replace the old ones; after a failure the old
// ones stay and the next attempt waits.
class RefreshSettler {
 public:
  RefreshSettler(int session, std::shared_ptr<dictionary> record) : session_(session), record_(std::move(record)) {}
  RefreshSettler(const RefreshSettler&) = delete;
  RefreshSettler& operator=(const RefreshSettler&) = delete;
  ~RefreshSettler() {
    if (record_) settle(nullptr);
  }
  void settle(Lists lists) noexcept {
    NamedLock lock(session_, kLock);
    if (lock.ok()) {
      if (lists) {
        record_->lists = std::move(lists);
        record_->fetched = now();
      } else {
        record_->retryafter = now() + kRetryPauseSeconds;
      }
      record_->refreshing = false;
    }
    record_.reset();
  }

 private:
  int session_;
  std::shared_ptr<dictionary> record_;
};

}  // namespace

int readdictionary(std::string_view body, wordlists& out) {
  std::optional<std::string> list1 = http_find_value("dictionary1", body);
  std::optional<std::string> list2 = http_find_value("dictionary2", body);
  if (!list1 || !list2 || !splitlist(*list1, out.words1) || !splitlist(*list2, out.words2)) return kReferenceInvalid;
  return kOk;
}

std::string pickreference(const wordlists& lists, const unsigned char bytes[4]) {
  return wordat(lists.words1, bytes[0], bytes[1]) + " " + wordat(lists.words2, bytes[2], bytes[3]);
}

void setmerchantreferenceseams(ReferenceClock clock, ReferenceRandom random) {
  clockseam.store(clock);
  randomseam.store(random);
}

int generatemerchantreference(int session, std::string_view locale, std::string& reference) {
  reference.clear();
  SessionRef s;
  if (int rc = usesession(session, s); rc != kOk) return rc;

  // Under the lock only the cache is looked at and a role taken; the
  // fetch runs without it.
  enum class Role { use, firstfetch, wait, refresh } role = Role::use;
  std::shared_ptr<dictionary> record;
  std::shared_ptr<firstfetch> pending;
  Lists lists;
  {
    NamedLock lock(session, kLock);
    if (!lock.ok()) return lock.code;
    for (const auto& slot : dictData()) {
      if (slot && slot->locale == locale) {
        record = slot;
        break;
      }
    }
    if (!record) {
      std::shared_ptr<dictionary>* free = findslot(nullptr);
      if (free == nullptr) return fail(kReferenceDictionary, kAt, "Unable to fetch dictionary from cache.");
      record = std::make_shared<dictionary>();
      record->locale = locale;
      record->pending = pending = std::make_shared<firstfetch>();
      *free = record;
      role = Role::firstfetch;
    } else if (!record->lists) {
      pending = record->pending;
      role = Role::wait;
    } else {
      lists = record->lists;
      int64_t t = now();
      if (record->fetched + kMaxAgeSeconds < t && !record->refreshing && t >= record->retryafter) {
        record->refreshing = true;
        role = Role::refresh;
      }
    }
  }

  switch (role) {
    case Role::use:
      break;
    case Role::firstfetch: {
      FirstFetchSettler settler(session, record, pending);
      Lists fresh;
      int rc = getDictionaryFromServer(*s, locale, fresh);
      settler.settle(fresh);
      if (rc != kOk) return fail(kReferenceDictionary, kAt, "An error occured during download of dictionaries.");
      lists = std::move(fresh);
      break;
    }
    case Role::wait:
      lists = pending->wait();
      if (!lists) return fail(kReferenceDictionary, kAt, "An error occured during download of dictionaries.");
      break;
    case Role::refresh: {
      RefreshSettler settler(session, record);
      Lists fresh;
      if (getDictionaryFromServer(*s, locale, fresh) == kOk) lists = fresh;
      settler.settle(std::move(fresh));
      break;
    }
  }

  unsigned char bytes[4];
  if (!drawrandom(bytes, 2) || !drawrandom(bytes + 2, 2)) {
    if (int rc = fail(kReferenceRandom, kAt, "An error occured trying to generate random merchant reference.");
        rc != kReferenceRandom)
      return rc;
    return fail(kReferenceRandom, kAt, "Failed to generate merchant reference.");
  }
  reference = pickreference(*lists, bytes);
  return kOk;
}

}  // namespace zmr
