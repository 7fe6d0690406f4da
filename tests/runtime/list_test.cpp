// Tests of the intrusive ring list's invariants.
#include <gtest/gtest.h>

#include <cstdlib>

#include "runtime/runtime.h"

namespace {

struct item {
  cg_list node;
  int value;
};

item* make_item(int value) {
  auto* it = static_cast<item*>(std::malloc(sizeof(item)));
  cg_list_node_init(&it->node);
  it->value = value;
  return it;
}

int value_at(cg_list* node) { return reinterpret_cast<item*>(node)->value; }

int g_destroyed = 0;
void count_and_free(void* p) {
  g_destroyed++;
  std::free(p);
}

TEST(CgList, RingInvariants) {
  cg_list head;
  cg_list_header_init(&head);
  EXPECT_EQ(cg_list_size(&head), 0);
  EXPECT_EQ(cg_list_next(&head), nullptr);

  item* a = make_item(1);
  item* b = make_item(2);
  item* c = make_item(3);
  cg_list_append(&head, &a->node);
  cg_list_append(&head, &b->node);
  cg_list_append(&head, &c->node);
  EXPECT_EQ(cg_list_size(&head), 3);
  EXPECT_EQ(head.next, &a->node);
  EXPECT_EQ(head.prev, &c->node);

  EXPECT_EQ(cg_list_next(&c->node), nullptr);
  EXPECT_EQ(cg_list_next_circular(&c->node), &a->node);
  EXPECT_EQ(cg_list_prev(&a->node), nullptr);
  EXPECT_EQ(cg_list_prev_circular(&a->node), &c->node);

  EXPECT_EQ(value_at(cg_list_get(&head, 1)), 2);
  EXPECT_EQ(cg_list_get(&head, 3), nullptr);
  EXPECT_EQ(value_at(cg_list_get(&head, -5)), 1);

  cg_list_remove(&b->node);
  EXPECT_EQ(b->node.next, &b->node);
  EXPECT_EQ(b->node.prev, &b->node);
  EXPECT_EQ(a->node.next, &c->node);
  EXPECT_EQ(c->node.prev, &a->node);
  cg_list_remove(&b->node);  // self-linked: unchanged
  EXPECT_EQ(b->node.next, &b->node);
  std::free(b);

  g_destroyed = 0;
  cg_list_clear(&head, count_and_free);
  EXPECT_EQ(g_destroyed, 2);
  EXPECT_EQ(cg_list_size(&head), 0);
  EXPECT_EQ(head.next, &head);

  // Without a destructor the elements are freed (checked by the leak sanitizer).
  cg_list_append(&head, &make_item(4)->node);
  cg_list_clear(&head, nullptr);
  EXPECT_EQ(cg_list_size(&head), 0);
}

}  // namespace
