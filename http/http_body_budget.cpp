// The body budget: what the bodies of all requests read in this process may
// hold at once (CG_HTTP_BODY_BUDGET), taken as their buffers grow and given
// back when the bodies are freed.
#include <atomic>

#include "http/http_internal.h"

namespace {

constexpr size_t kBudget = CG_HTTP_BODY_BUDGET;

std::atomic<size_t> g_used{0};

}  // namespace

namespace vbd_http {

bool body_budget_take(size_t bytes) {
  size_t used = g_used.load(std::memory_order_relaxed);
  do {
    if (bytes > kBudget - used) return false;
  } while (!g_used.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  return true;
}

void body_budget_give(size_t bytes) {
  if (bytes > 0) g_used.fetch_sub(bytes, std::memory_order_relaxed);
}

}  // namespace vbd_http

long long cg_http_body_budget_used() {
  return static_cast<long long>(g_used.load(std::memory_order_relaxed));
}
