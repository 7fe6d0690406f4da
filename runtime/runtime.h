// Runtime support: the levelled log, the growable string and byte buffer,
// string utilities, intrusive lists, threads with cooperative stop, mutexes,
// conditions, time.
//
// Plain records and free functions: every object is made by a *_new and
// released by the matching *_delete; lists own their members; getters lend
// pointers, setters copy. Nothing here throws.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <ctime>
#include <string_view>

// ---------------------------------------------------------------------------
// Log
// ---------------------------------------------------------------------------

inline constexpr int CG_LOG_ERROR = 1;
inline constexpr int CG_LOG_WARNING = 2;
inline constexpr int CG_LOG_INFO = 4;
inline constexpr int CG_LOG_DEBUG_GENERAL = 8;
inline constexpr int CG_LOG_DEBUG_STACK = 16;
inline constexpr int CG_LOG_DEBUG_APPLICATION = 32;
inline constexpr int CG_LOG_DEBUG_L4 = 64;
inline constexpr int CG_LOG_DEBUG_L5 = 128;

inline constexpr int CG_LOG_LINE_SIZE = 2048;

struct cg_log_target {
  cg_log_target* next;
  FILE* stream;
  char* name;
  unsigned mask;
};

// Writes one line "time : level : source : line : function :  message" to
// every target whose mask covers the level. Returns the last write's result.
int cg_log_print(int level, const char* source, int line, const char* function,
                 const char* format, ...) __attribute__((format(printf, 5, 6)));
// "stdout", "stderr" or a file path (opened "w"; a repeated name shares the
// stream). 1 added, -1 failed. Any call disables the default targets.
int cg_log_add_target(const char* name, unsigned mask);
void cg_log_set_separator(const char* separator);
// Drops every target and the separator and returns the log to its state at
// program start (defaults added again by the next message). For tests.
void cg_log_reset();

// ---------------------------------------------------------------------------
// String buffer
// ---------------------------------------------------------------------------

struct cg_string {
  char* value;   // owned, NUL-terminated; none when unset
  int capacity;  // bytes allocated, terminator included
  int length;    // bytes in use, terminator excluded
};

cg_string* cg_string_new();
void cg_string_delete(cg_string* str);
void cg_string_clear(cg_string* str);
void cg_string_set_n(cg_string* str, const char* bytes, int n);
void cg_string_set(cg_string* str, const char* text);
void cg_string_set_int(cg_string* str, int value);
void cg_string_set_long(cg_string* str, long value);
void cg_string_adopt(cg_string* str, char* heap_buffer, int n);
char* cg_string_value(const cg_string* str);
int cg_string_capacity(const cg_string* str);
int cg_string_length(const cg_string* str);
char* cg_string_append_n(cg_string* str, const char* bytes, int n);
char* cg_string_append(cg_string* str, const char* text);
char* cg_string_append_repeat(cg_string* str, const char* text, int k);
char* cg_string_append_n_repeat(cg_string* str, const char* bytes, int n, int k);
// Replaces every occurrence of patterns[i] by replacements[i] in one forward
// scan; a replacement is never re-scanned, an empty pattern never matches.
char* cg_string_replace_all(cg_string* str, const char* const patterns[],
                            const char* const replacements[], int count);

// ---------------------------------------------------------------------------
// Byte buffer: the one growable buffer for assembling messages, bodies and
// documents. Geometric growth, an optional cap, malloc/realloc (never
// throws). A zeroed record is an empty buffer without a cap. After any
// successful append the bytes are NUL-terminated (the terminator is not
// counted in length), so a buffer can be handed to a cg_string as it is.
// ---------------------------------------------------------------------------

struct cg_buffer {
  char* data;       // owned; none until the first byte
  size_t length;    // bytes in use, terminator excluded
  size_t capacity;  // bytes allocated, terminator included
  size_t limit;     // most bytes it may hold; 0: CG_BUFFER_MAX_BYTES
  bool failed;      // sticky: a reserve or append was refused
};

// The largest content whose bytes and terminator still fit the int length of
// a cg_string.
inline constexpr size_t CG_BUFFER_MAX_BYTES = 2147483646u;

// Room for extra more bytes (and the terminator) after length. False, and
// failed set, when memory runs out or the content would pass the limit.
bool cg_buffer_reserve(cg_buffer* buf, size_t extra);
// The capacity cg_buffer_reserve(buf, extra) leaves the buffer with when it
// succeeds (its capacity now when that is room enough), or 0 when the
// content would pass the limit. For a caller that accounts for the growth
// before it happens.
size_t cg_buffer_capacity_for(const cg_buffer* buf, size_t extra);
bool cg_buffer_append(cg_buffer* buf, const char* bytes, size_t n);
inline bool cg_buffer_append(cg_buffer* buf, std::string_view text) {
  return cg_buffer_append(buf, text.data(), text.size());
}
// Empties the buffer and keeps its memory (and its limit) for reuse.
void cg_buffer_reset(cg_buffer* buf);
// Frees the memory; the buffer is empty again, its limit kept.
void cg_buffer_release(cg_buffer* buf);
// Hands the bytes to the string (NUL-terminated) and empties the buffer. A
// buffer that never held memory leaves the string unset; one emptied by a
// reset gives an empty text.
void cg_buffer_move_to_string(cg_buffer* buf, cg_string* str);

namespace vbd_runtime {

// A cg_buffer owned by a scope.
class byte_buffer {
 public:
  explicit byte_buffer(size_t limit = 0) : buf_{nullptr, 0, 0, limit, false} {}
  byte_buffer(const byte_buffer&) = delete;
  byte_buffer& operator=(const byte_buffer&) = delete;
  ~byte_buffer() { cg_buffer_release(&buf_); }

  cg_buffer* get() { return &buf_; }
  const char* data() const { return buf_.data; }
  size_t size() const { return buf_.length; }
  std::string_view view() const { return {buf_.data ? buf_.data : "", buf_.length}; }
  bool ok() const { return !buf_.failed; }

  // Appends run inline while the buffer has room (writers append many small
  // pieces); growth, the cap and failure are cg_buffer_reserve's.
  bool append(std::string_view text) {
    if (text.empty()) return true;
    char* at = room(text.size());
    if (!at) return false;
    std::memcpy(at, text.data(), text.size());
    commit(text.size());
    return true;
  }
  bool append(char c) {
    char* at = room(1);
    if (!at) return false;
    *at = c;
    commit(1);
    return true;
  }
  bool fill(char c, size_t n) {
    if (n == 0) return true;
    char* at = room(n);
    if (!at) return false;
    std::memset(at, c, n);
    commit(n);
    return true;
  }
  // Empties it and returns room for n bytes, for decoding into; null when
  // memory runs out.
  char* reset_for(size_t n) {
    cg_buffer_reset(&buf_);
    return cg_buffer_reserve(&buf_, n) ? buf_.data : nullptr;
  }

 private:
  // Where n more bytes go (the terminator's byte is there too); none when
  // the buffer refused. The capacity never passes the cap, so room within
  // it is room under the cap.
  char* room(size_t n) {
    if (buf_.capacity - buf_.length <= n && !cg_buffer_reserve(&buf_, n)) return nullptr;
    return buf_.data + buf_.length;
  }
  void commit(size_t n) {
    buf_.length += n;
    buf_.data[buf_.length] = '\0';
  }

  cg_buffer buf_;
};

}  // namespace vbd_runtime

// ---------------------------------------------------------------------------
// String utilities (a missing text is a null pointer)
// ---------------------------------------------------------------------------

char* cg_str_dup(const char* text);
size_t cg_str_len(const char* text);
char* cg_str_copy(char* dest, const char* src);
char* cg_str_cat(char* dest, const char* src);
int cg_str_compare(const char* a, const char* b);
int cg_str_ncompare(const char* a, const char* b, int n);
int cg_str_case_compare(const char* a, const char* b);
int cg_str_equal(const char* a, const char* b);
int cg_str_case_equal(const char* a, const char* b);
int cg_str_index_of(const char* text, const char* pattern);
int cg_str_find_first_of(const char* text, const char* set, int set_size);
int cg_str_find_last_of(const char* text, const char* set, int set_size);
char* cg_str_trim_space(char* text);
char* cg_str_ltrim(char* text, const char* set, int set_size);
char* cg_str_rtrim(char* text, const char* set, int set_size);
char* cg_str_trim(char* text, const char* set, int set_size);
char* cg_str_ncopy(char* dest, const char* src, int n);
char* cg_str_ncat(char* dest, const char* src, int n);
char* cg_int_to_str(int value, char* buffer, int size);
char* cg_long_to_str(long value, char* buffer, int size);
char* cg_llong_to_str(long long value, char* buffer, int size);
char* cg_str_to_lower(char* text);
char* cg_str_to_upper(char* text);
// The value of one hexadecimal digit of either case, or -1 for any other
// character. Header-only: usable where nothing else of runtime is linked.
constexpr int cg_hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// ---------------------------------------------------------------------------
// Tokenizer: splits a writable text in place at delimiter characters.
// Runs of delimiters act as one separator; no empty tokens.
// ---------------------------------------------------------------------------

struct cg_string_tokenizer {
  char* value;
  const char* delimiters;
  int delimiter_count;
  int next_start;
  int last_index;
  char* current_token;
  char* next_token;
  char saved_delimiter;
  int has_more;
};

cg_string_tokenizer* cg_string_tokenizer_new(char* text, const char* delimiters);
void cg_string_tokenizer_delete(cg_string_tokenizer* tok);
int cg_string_tokenizer_has_more(const cg_string_tokenizer* tok);
char* cg_string_tokenizer_next(cg_string_tokenizer* tok);
// The rest of the text from the prepared token to the end, delimiters
// included. Only valid while has_more is 1.
char* cg_string_tokenizer_rest(cg_string_tokenizer* tok);

// ---------------------------------------------------------------------------
// Intrusive circular doubly linked list. Every listed record begins with
// this header; a head is a record of the same kind with is_head set.
// ---------------------------------------------------------------------------

struct cg_list {
  int is_head;
  cg_list* prev;
  cg_list* next;
};

using cg_list_destructor = void (*)(void*);

void cg_list_header_init(cg_list* node);
void cg_list_node_init(cg_list* node);
void cg_list_insert_after(cg_list* position, cg_list* node);
void cg_list_append(cg_list* head, cg_list* node);
void cg_list_remove(cg_list* node);
cg_list* cg_list_next(cg_list* node);
cg_list* cg_list_prev(cg_list* node);
cg_list* cg_list_next_circular(cg_list* node);
cg_list* cg_list_prev_circular(cg_list* node);
cg_list* cg_list_get(cg_list* head, int index);
int cg_list_size(const cg_list* head);
// Removes every element, passing each to the destructor (or free when none).
void cg_list_clear(cg_list* head, cg_list_destructor destructor);

namespace vbd_runtime {

// Typed access to lists of records that begin with their cg_list header
// (a member named node): the list wrappers of every library are these.
// The step is cg_list_next's, inline for the walks of the parser and writer.
inline cg_list* list_after(cg_list* node) {
  cg_list* next = node->next;
  return next && !next->is_head ? next : nullptr;
}

template <typename T>
T* list_first(T* head) {
  return head ? reinterpret_cast<T*>(list_after(&head->node)) : nullptr;
}

template <typename T>
T* list_next(T* member) {
  return member ? reinterpret_cast<T*>(list_after(&member->node)) : nullptr;
}

template <typename T>
int list_size(const T* head) {
  return head ? cg_list_size(&head->node) : 0;
}

// Allocates a zeroed record whose list header is a member or a head.
template <typename T>
T* record_new(bool is_head) {
  static_assert(offsetof(T, node) == 0, "listed records begin with their list header");
  auto* record = static_cast<T*>(std::calloc(1, sizeof(T)));
  if (!record) return nullptr;
  if (is_head) {
    cg_list_header_init(&record->node);
  } else {
    cg_list_node_init(&record->node);
  }
  return record;
}

}  // namespace vbd_runtime

// ---------------------------------------------------------------------------
// Mutex and condition
// ---------------------------------------------------------------------------

struct cg_mutex {
  pthread_mutex_t mutex;
};

struct cg_cond {
  pthread_cond_t cond;
};

cg_mutex* cg_mutex_new();
int cg_mutex_delete(cg_mutex* mutex);
int cg_mutex_lock(cg_mutex* mutex);
int cg_mutex_unlock(cg_mutex* mutex);

cg_cond* cg_cond_new();
int cg_cond_delete(cg_cond* cond);
// seconds 0: wait until signalled; else until now + seconds (absolute deadline).
int cg_cond_wait(cg_cond* cond, cg_mutex* mutex, int seconds);
int cg_cond_signal(cg_cond* cond);

// ---------------------------------------------------------------------------
// Threads with cooperative stop.
//
// A started thread is detached, blocks every signal but SIGQUIT and has an
// empty SIGQUIT handler without restart, so stop (clear runnable, send
// SIGQUIT, pause 1000 ms) interrupts its blocking calls. A thread that
// stops itself only clears its flag: no signal, no pause.
//
// Lifetime: a cg_thread carries a reference count, 1 when made. A thread may
// delete its own cg_thread while another thread waits for it to end; such a
// waiter takes a reference with cg_thread_hold (while it can still be sure
// the object exists, e.g. under the lock that guards the list it is in),
// polls cg_thread_is_runnable, then drops it with cg_thread_release. The
// object is freed by whichever of delete and the last release comes last.
// ---------------------------------------------------------------------------

struct cg_thread;
using cg_thread_func = void (*)(cg_thread*);

struct cg_thread {
  cg_list node;
  std::atomic<int> runnable;
  pthread_t thread_id;
  cg_thread_func action;
  void* user_data;
  std::atomic<int> refs;  // references: the owner's (dropped by delete) plus holders'
};

using cg_thread_list = cg_thread;

cg_thread* cg_thread_new();
int cg_thread_start(cg_thread* thread);
int cg_thread_stop(cg_thread* thread);
int cg_thread_stop_with_cond(cg_thread* thread, cg_cond* cond);
int cg_thread_restart(cg_thread* thread);
int cg_thread_delete(cg_thread* thread);
int cg_thread_is_runnable(const cg_thread* thread);
void cg_thread_set_action(cg_thread* thread, cg_thread_func action);
void cg_thread_set_user_data(cg_thread* thread, void* user_data);
void* cg_thread_get_user_data(const cg_thread* thread);
cg_thread* cg_thread_self();
void cg_thread_hold(cg_thread* thread);
void cg_thread_release(cg_thread* thread);

cg_thread_list* cg_thread_list_new();
void cg_thread_list_delete(cg_thread_list* list);
int cg_thread_list_start(cg_thread_list* list);
int cg_thread_list_stop(cg_thread_list* list);
void cg_thread_list_add(cg_thread_list* list, cg_thread* thread);
int cg_thread_list_size(const cg_thread_list* list);
cg_thread* cg_thread_list_first(cg_thread_list* list);
cg_thread* cg_thread_next(cg_thread* thread);

// Pause of cg_thread_stop after the SIGQUIT, in milliseconds (1000). Tests
// may shorten it; the daemon never changes it.
void cg_thread_set_stop_pause_ms(int ms);

// ---------------------------------------------------------------------------
// Stoppable waits, wake and join: the one way the daemon's threads wait.
//
// Each cg_thread owns a wake descriptor (an eventfd, made by the first wait
// or wake that needs it, so threads that never wait on it cost no
// descriptor; if none can be made the wait wakes every 100 ms to notice a
// stop). A thread blocks in
// cg_thread_wait_fd on one descriptor of its own (a socket) plus its wake,
// or in cg_thread_wait on the wake alone, with a time-out. Another thread
// ends the wait with cg_thread_wake (for example: output is waiting), or
// stops the thread with cg_thread_stop_and_join: clear runnable, wake, and
// wait until the action has returned. No signal and no fixed pause.
//
// A wake of a stopped thread stays set, so once stopped every later wait
// returns at once; a wake of a running thread is consumed by the wait that
// reports it. After CG_WAIT_WOKEN an action re-tests cg_thread_is_runnable.
// A missing thread (a caller that is not a cg_thread) waits without a wake:
// on the descriptor alone, or sleeps.
// ---------------------------------------------------------------------------

inline constexpr int CG_WAIT_TIMEOUT = 0;  // the time-out passed
inline constexpr int CG_WAIT_READY = 1;    // the descriptor has one of the events
inline constexpr int CG_WAIT_WOKEN = 2;    // woken, or stopped: test runnable
inline constexpr int CG_WAIT_FOREVER = -1;

// Waits until fd has one of the poll events, the thread is woken or stopped,
// or timeout_ms passes (CG_WAIT_FOREVER: no time-out). The events seen on fd
// go to *revents when not null (POLLERR/POLLHUP count as ready). fd < 0:
// waits on the wake alone. An interrupted wait counts as woken.
int cg_thread_wait_fd(cg_thread* thread, int fd, short events, int timeout_ms, short* revents);
// The wake alone: a stoppable sleep. CG_WAIT_TIMEOUT or CG_WAIT_WOKEN.
int cg_thread_wait(cg_thread* thread, int timeout_ms);
// The calling thread's stoppable sleep (cg_thread_self(), or a plain sleep).
// 1 when the whole time passed, 0 when woken or stopped first.
int cg_thread_pause_ms(int milliseconds);
// Ends the thread's current or next wait. Safe from any thread.
void cg_thread_wake(cg_thread* thread);
// The wake descriptor, for callers that wait on several descriptors at once
// (readable while a wake is pending). -1 when the thread is missing.
int cg_thread_get_wake_fd(cg_thread* thread);
// Consumes a pending wake of a running thread (for callers polling the wake
// descriptor themselves). A stopped thread's wake stays set.
void cg_thread_clear_wake(cg_thread* thread);
// Waits until the thread's action has returned (at once when it was never
// started, has returned already, or is the caller). The caller keeps the
// record alive (owner, or cg_thread_hold). 1.
int cg_thread_join(cg_thread* thread);
// Clears runnable, wakes and joins. 1.
int cg_thread_stop_and_join(cg_thread* thread);
// Sends the stop signal (SIGQUIT) to a thread still inside its action, to
// interrupt a blocking call that no descriptor can end. No pause. 1 when the
// thread was still running, else 0.
int cg_thread_interrupt(cg_thread* thread);

// ---------------------------------------------------------------------------
// Time and random
// ---------------------------------------------------------------------------

int cg_sleep_ms(int milliseconds);
int cg_sleep_random_ms(int milliseconds);
// A random whole number of milliseconds in 0..milliseconds (the draw of
// cg_sleep_random_ms, for callers that wait in another way).
int cg_random_ms(int milliseconds);
// Milliseconds of the monotonic clock (never goes back, not wall time).
int64_t cg_monotonic_ms();
time_t cg_current_time();
float cg_random_unit();

struct cg_stopwatch {
  uint32_t start_ms;
  uint32_t last_ms;
};

cg_stopwatch* cg_stopwatch_start();
uint32_t cg_stopwatch_elapsed(cg_stopwatch* watch);
int cg_stopwatch_finish(cg_stopwatch* watch);
