#include "webserver/core/WebServerConnectionBudget.hpp"

namespace ombrelia {

bool WebServerConnectionBudget::tryTake(uint64_t bytes) {
  uint64_t held = held_.load(std::memory_order_relaxed);
  do {
    if (maxBytes_ != 0 && held + bytes > maxBytes_) return false;
  } while (!held_.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
  return true;
}

void WebServerConnectionBudget::give(uint64_t bytes) {
  held_.fetch_sub(bytes, std::memory_order_relaxed);
}

bool WebServerConnectionBudget::tryStartRefusal() {
  uint32_t refusing = refusing_.load(std::memory_order_relaxed);
  do {
    if (refusing >= kMaxRefusalsAtOnce) return false;
  } while (!refusing_.compare_exchange_weak(refusing, refusing + 1, std::memory_order_relaxed));
  return true;
}

void WebServerConnectionBudget::endRefusal() { refusing_.fetch_sub(1, std::memory_order_relaxed); }

}  // namespace ombrelia
