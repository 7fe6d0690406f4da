// cg_list: the intrusive circular doubly linked list every listed record embeds.
#include <cstdlib>

#include "runtime/runtime.h"

void cg_list_header_init(cg_list* node) {
  if (!node) return;
  node->is_head = 1;
  node->prev = node->next = node;
}

void cg_list_node_init(cg_list* node) {
  if (!node) return;
  node->is_head = 0;
  node->prev = node->next = node;
}

void cg_list_insert_after(cg_list* position, cg_list* node) {
  if (!position || !node) return;
  node->prev = position;
  node->next = position->next;
  position->next->prev = node;
  position->next = node;
}

void cg_list_append(cg_list* head, cg_list* node) {
  if (!head || !node) return;
  cg_list_insert_after(head->prev, node);
}

void cg_list_remove(cg_list* node) {
  if (!node || !node->prev || !node->next) return;
  node->prev->next = node->next;
  node->next->prev = node->prev;
  node->prev = node->next = node;
}

cg_list* cg_list_next(cg_list* node) {
  if (!node || !node->next || node->next->is_head) return nullptr;
  return node->next;
}

cg_list* cg_list_prev(cg_list* node) {
  if (!node || !node->prev || node->prev->is_head) return nullptr;
  return node->prev;
}

cg_list* cg_list_next_circular(cg_list* node) {
  if (!node || !node->next) return nullptr;
  cg_list* next = node->next;
  return next->is_head ? next->next : next;
}

cg_list* cg_list_prev_circular(cg_list* node) {
  if (!node || !node->prev) return nullptr;
  cg_list* prev = node->prev;
  return prev->is_head ? prev->prev : prev;
}

cg_list* cg_list_get(cg_list* head, int index) {
  if (!head) return nullptr;
  cg_list* node = cg_list_next(head);
  for (int i = 0; node && i < index; i++) node = cg_list_next(node);
  return node;
}

int cg_list_size(const cg_list* head) {
  if (!head) return 0;
  int n = 0;
  for (const cg_list* node = head->next; node && node != head; node = node->next) n++;
  return n;
}

void cg_list_clear(cg_list* head, cg_list_destructor destructor) {
  if (!head) return;
  for (cg_list* node = cg_list_next(head); node; node = cg_list_next(head)) {
    cg_list_remove(node);
    if (destructor) {
      destructor(node);
    } else {
      std::free(node);
    }
  }
}
