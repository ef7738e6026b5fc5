#include "misc/secret.h"

#include <atomic>

namespace zmr {
namespace {

std::atomic<WipeHook> wipehook{nullptr};

}  // namespace

void wipeblock(void* block, size_t size) noexcept {
  if (block == nullptr || size == 0) return;
  OPENSSL_cleanse(block, size);
  if (WipeHook hook = wipehook.load(std::memory_order_acquire); hook != nullptr) hook(block, size);
}

void setwipehook(WipeHook hook) noexcept { wipehook.store(hook, std::memory_order_release); }

}  // namespace zmr
