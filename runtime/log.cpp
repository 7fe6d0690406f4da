// The process-wide levelled log: one line per message to every target whose
// mask covers the message's level.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "runtime/runtime.h"

namespace {

// Targets are added rarely and read on every message; the lock only guards
// the list and the separator, never a write to a stream.
std::mutex g_lock;
int g_initialised = 0;
cg_log_target* g_targets = nullptr;
char* g_separator = nullptr;

struct level_name {
  int level;
  const char* name;
};

constexpr level_name kLevelNames[] = {
    {CG_LOG_ERROR, "Error"},
    {CG_LOG_WARNING, "Warning"},
    {CG_LOG_INFO, "Info"},
    {CG_LOG_DEBUG_GENERAL, "Debug (general)"},
    {CG_LOG_DEBUG_STACK, "Debug (stack)"},
    {CG_LOG_DEBUG_APPLICATION, "Debug (application)"},
    {CG_LOG_DEBUG_L4, "Debug (low level L4)"},
    {CG_LOG_DEBUG_L5, "Debug (low level L5)"},
};

const char* name_of(int level) {
  for (const auto& entry : kLevelNames) {
    if (entry.level == level) return entry.name;
  }
  return "Unknown";
}

// Adds a target at the front of the list; the caller holds g_lock.
int add_target_locked(const char* name, unsigned mask) {
  g_initialised = 1;
  if (!name) return -1;
  FILE* stream = nullptr;
  if (cg_str_equal(name, "stdout")) {
    stream = stdout;
  } else if (cg_str_equal(name, "stderr")) {
    stream = stderr;
  } else {
    // A repeated file name shares the stream of the oldest such target.
    for (cg_log_target* t = g_targets; t; t = t->next) {
      if (cg_str_equal(t->name, name)) stream = t->stream;
    }
    if (!stream) stream = std::fopen(name, "w");
    if (!stream) return -1;
  }
  auto* target = static_cast<cg_log_target*>(std::malloc(sizeof(cg_log_target)));
  char* copy = cg_str_dup(name);
  if (!target || !copy) {
    std::free(target);
    std::free(copy);
    return -1;
  }
  target->next = g_targets;
  target->stream = stream;
  target->name = copy;
  target->mask = mask;
  g_targets = target;
  return 1;
}

}  // namespace

int cg_log_add_target(const char* name, unsigned mask) {
  std::lock_guard<std::mutex> guard(g_lock);
  return add_target_locked(name, mask);
}

void cg_log_set_separator(const char* separator) {
  std::lock_guard<std::mutex> guard(g_lock);
  std::free(g_separator);
  g_separator = cg_str_dup(separator);
}

void cg_log_reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  while (g_targets) {
    cg_log_target* t = g_targets;
    g_targets = t->next;
    bool shared = false;
    for (cg_log_target* o = g_targets; o; o = o->next) shared = shared || o->stream == t->stream;
    if (!shared && t->stream != stdout && t->stream != stderr) std::fclose(t->stream);
    std::free(t->name);
    std::free(t);
  }
  std::free(g_separator);
  g_separator = nullptr;
  g_initialised = 0;
}

int cg_log_print(int level, const char* source, int line, const char* function,
                 const char* format, ...) {
  char time_text[CG_LOG_LINE_SIZE];
  char buffer[CG_LOG_LINE_SIZE];

  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  time_text[0] = '\0';
  strftime(time_text, sizeof(time_text), "%c", &local);

  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_initialised) {
    add_target_locked("stdout", CG_LOG_INFO | CG_LOG_DEBUG_GENERAL | CG_LOG_DEBUG_STACK |
                                    CG_LOG_DEBUG_APPLICATION);
    add_target_locked("stderr", CG_LOG_ERROR | CG_LOG_WARNING);
  }
  if (!g_separator) g_separator = cg_str_dup(" : ");
  const char* sep = g_separator ? g_separator : " : ";

  int prefix = std::snprintf(buffer, sizeof(buffer), "%s%s%s%s%s%s%d%s%s%s ", time_text, sep,
                             name_of(level), sep, source ? source : "", sep, line, sep,
                             function ? function : "", sep);
  if (prefix >= 0 && static_cast<size_t>(prefix) < sizeof(buffer) - 1) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer + prefix, sizeof(buffer) - static_cast<size_t>(prefix), format, args);
    va_end(args);
  }

  int result = 0;
  auto wanted = static_cast<unsigned>(level);
  for (cg_log_target* t = g_targets; t; t = t->next) {
    if ((wanted & t->mask) == wanted) result = std::fputs(buffer, t->stream);
  }
  return result;
}
