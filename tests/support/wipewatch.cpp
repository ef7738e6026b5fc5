#include "support/wipewatch.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "misc/secret.h"

namespace zmrtest {
namespace {

struct Block {
  uintptr_t begin, end;
  bool zero;
};

std::mutex watchmutex;
std::vector<Block>* watched = nullptr;

void record(const void* block, size_t size) {
  const auto* p = static_cast<const unsigned char*>(block);
  bool zero = std::all_of(p, p + size, [](unsigned char c) { return c == 0; });
  std::lock_guard<std::mutex> lock(watchmutex);
  if (watched == nullptr) return;
  uintptr_t begin = reinterpret_cast<uintptr_t>(block);
  watched->push_back({begin, begin + size, zero});
}

}  // namespace

WipeWatch::WipeWatch() {
  std::lock_guard<std::mutex> lock(watchmutex);
  watched = new std::vector<Block>();
  zmr::setwipehook(record);
}

WipeWatch::~WipeWatch() {
  zmr::setwipehook(nullptr);
  std::lock_guard<std::mutex> lock(watchmutex);
  delete watched;
  watched = nullptr;
}

bool WipeWatch::wiped(uintptr_t begin, size_t size) const {
  std::lock_guard<std::mutex> lock(watchmutex);
  return std::any_of(watched->begin(), watched->end(),
                     [&](const Block& b) { return b.begin <= begin && begin + size <= b.end && b.zero; });
}

size_t WipeWatch::blocks() const {
  std::lock_guard<std::mutex> lock(watchmutex);
  return watched->size();
}

bool WipeWatch::allzero() const {
  std::lock_guard<std::mutex> lock(watchmutex);
  return std::all_of(watched->begin(), watched->end(), [](const Block& b) { return b.zero; });
}

}  // namespace zmrtest
