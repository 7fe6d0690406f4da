// The guard of a device's search answers: a repeated search is answered
// once, and the answers are capped per source address and in all, each per
// second. Fixed tables, so a flood costs no memory; one lock, a leaf, held
// only while the tables are read and written.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "velProtocol/ssdp_server/ssdp_internal.h"

namespace {

constexpr int64_t kCapPeriodMs = 1000;
// A search is remembered, and a source's second kept, only when it got
// answers. Any 1.25 s (the longest window) meets at most two seconds of the
// cap in all, so at most 200 of either are kept at once: within these
// tables.
constexpr int kRememberedSearches = 256;
constexpr int kSourceBudgets = 256;

// The ST is kept as its length and a 64-bit FNV-1a hash.
struct st_key {
  uint64_t hash;
  size_t length;
};

st_key key_of(const char* st) {
  uint64_t hash = 1469598103934665603ull;
  size_t length = 0;
  for (const char* c = st; *c; c++, length++) {
    hash ^= static_cast<unsigned char>(*c);
    hash *= 1099511628211ull;
  }
  return {hash, length};
}

struct remembered_search {
  int64_t until_ms = 0;  // 0: free
  int port = 0;
  st_key st{};
  char source[CG_NET_ADDRESS_TEXT_SIZE]{};
};

struct source_budget {
  int64_t since_ms = 0;  // start of its current second
  int used = 0;          // 0: free
  char source[CG_NET_ADDRESS_TEXT_SIZE]{};
};

}  // namespace

struct cg_upnp_search_guard {
  std::mutex lock;
  remembered_search searches[kRememberedSearches]{};
  source_budget sources[kSourceBudgets]{};
  int64_t all_since_ms = 0;
  int all_used = 0;
  vbd_ssdp::search_guard_counts counts{};
};

namespace {

bool is_repeat(const cg_upnp_search_guard* guard, int64_t now, const char* source, int port,
               const st_key& st) {
  for (const remembered_search& s : guard->searches) {
    if (s.until_ms > now && s.port == port && s.st.hash == st.hash && s.st.length == st.length &&
        std::strcmp(s.source, source) == 0) {
      return true;
    }
  }
  return false;
}

// In a free or expired slot. With none (never, within the caps) the search
// is not remembered, and a repeat of it is judged by the caps alone.
void remember(cg_upnp_search_guard* guard, int64_t now, int window_ms, const char* source,
              int port, const st_key& st) {
  for (remembered_search& s : guard->searches) {
    if (s.until_ms > now) continue;
    s.until_ms = now + window_ms;
    s.port = port;
    s.st = st;
    std::snprintf(s.source, sizeof(s.source), "%s", source);
    return;
  }
}

bool budget_running(const source_budget& b, int64_t now) {
  return b.used > 0 && now - b.since_ms < kCapPeriodMs;
}

// The source's running budget, else a slot for a new one (its own old one
// first), else none.
source_budget* budget_of(cg_upnp_search_guard* guard, int64_t now, const char* source) {
  source_budget* spare = nullptr;
  for (source_budget& b : guard->sources) {
    bool same = std::strcmp(b.source, source) == 0;
    if (budget_running(b, now)) {
      if (same) return &b;
    } else if (!spare || same) {
      spare = &b;
    }
  }
  return spare;
}

}  // namespace

namespace vbd_ssdp {

cg_upnp_search_guard* search_guard_new() { return new (std::nothrow) cg_upnp_search_guard(); }

void search_guard_delete(cg_upnp_search_guard* guard) { delete guard; }

int search_guard_admit(cg_upnp_search_guard* guard, int64_t now_ms, const char* source, int port,
                       const char* st, int window_ms, int wanted) {
  if (!guard || !source || !st || wanted <= 0) return 0;
  const st_key key = key_of(st);
  std::lock_guard<std::mutex> held(guard->lock);
  if (window_ms > 0 && is_repeat(guard, now_ms, source, port, key)) {
    guard->counts.repeats++;
    return 0;
  }
  const bool all_running = guard->all_used > 0 && now_ms - guard->all_since_ms < kCapPeriodMs;
  int all_left = CG_UPNP_SSDP_ANSWERS_IN_ALL - (all_running ? guard->all_used : 0);
  source_budget* budget = budget_of(guard, now_ms, source);
  const bool source_running = budget && budget_running(*budget, now_ms);
  int source_left =
      budget ? CG_UPNP_SSDP_ANSWERS_PER_SOURCE - (source_running ? budget->used : 0) : 0;
  int allowed = wanted;
  if (allowed > all_left) allowed = all_left;
  if (allowed > source_left) allowed = source_left;
  if (allowed > 0) {
    if (!all_running) {
      guard->all_since_ms = now_ms;
      guard->all_used = 0;
    }
    guard->all_used += allowed;
    if (!source_running) {
      budget->since_ms = now_ms;
      budget->used = 0;
      std::snprintf(budget->source, sizeof(budget->source), "%s", source);
    }
    budget->used += allowed;
    if (window_ms > 0) remember(guard, now_ms, window_ms, source, port, key);
  } else {
    allowed = 0;
  }
  guard->counts.over_cap += wanted - allowed;
  return allowed;
}

search_guard_counts search_guard_get_counts(cg_upnp_search_guard* guard) {
  if (!guard) return {};
  std::lock_guard<std::mutex> held(guard->lock);
  return guard->counts;
}

}  // namespace vbd_ssdp
