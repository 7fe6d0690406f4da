// The search answers a listener keeps until they are due: a fixed table of
// answers, taken in due order, used by the listener's own thread alone.
#include <climits>
#include <cstdlib>

#include "velProtocol/ssdp_server/ssdp_internal.h"

using vbd_ssdp::kQueuedAnswers;
using vbd_ssdp::search_answer;

namespace {

// What the search for the next due answer reads, apart from the answers
// themselves, so that it touches only this small table.
struct slot_state {
  bool used;
  int64_t due_ms;
  uint64_t order;  // ties of due time go in the order of adding
};

}  // namespace

struct cg_upnp_answer_queue {
  slot_state states[kQueuedAnswers];
  search_answer answers[kQueuedAnswers];
  int size;
  uint64_t next_order;
};

namespace {

// The slot of the answer due first, or -1.
int first_due(const cg_upnp_answer_queue* queue) {
  if (!queue || queue->size == 0) return -1;
  int first = -1;
  for (int i = 0; i < kQueuedAnswers; i++) {
    const slot_state& s = queue->states[i];
    if (!s.used) continue;
    const slot_state* f = first < 0 ? nullptr : &queue->states[first];
    if (!f || s.due_ms < f->due_ms || (s.due_ms == f->due_ms && s.order < f->order)) first = i;
  }
  return first;
}

}  // namespace

namespace vbd_ssdp {

cg_upnp_answer_queue* answer_queue_new() {
  return static_cast<cg_upnp_answer_queue*>(std::calloc(1, sizeof(cg_upnp_answer_queue)));
}

void answer_queue_delete(cg_upnp_answer_queue* queue) { std::free(queue); }

bool answer_queue_add(cg_upnp_answer_queue* queue, const search_answer& answer) {
  if (!queue || queue->size >= kQueuedAnswers) return false;
  // The lowest free slot, so that a queue that never holds many touches
  // only the first few answers' memory.
  for (int i = 0; i < kQueuedAnswers; i++) {
    slot_state& s = queue->states[i];
    if (s.used) continue;
    s = {true, answer.due_ms, queue->next_order++};
    queue->answers[i] = answer;
    queue->size++;
    return true;
  }
  return false;
}

int answer_queue_size(const cg_upnp_answer_queue* queue) { return queue ? queue->size : 0; }

int answer_queue_wait_ms(const cg_upnp_answer_queue* queue, int64_t now_ms) {
  int first = first_due(queue);
  if (first < 0) return -1;
  int64_t wait = queue->states[first].due_ms - now_ms;
  if (wait <= 0) return 0;
  return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

bool answer_queue_take_due(cg_upnp_answer_queue* queue, int64_t now_ms, search_answer* out) {
  int first = first_due(queue);
  if (first < 0 || !out || queue->states[first].due_ms > now_ms) return false;
  *out = queue->answers[first];
  queue->states[first].used = false;
  queue->size--;
  return true;
}

}  // namespace vbd_ssdp
