// XML element nodes and node lists: records, ownership, child and attribute
// lookups by name.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "xml/tree_internal.h"

namespace {

cg_xml_node* as_node(cg_list* link) { return reinterpret_cast<cg_xml_node*>(link); }

void init_node(cg_xml_node* node, bool head) {
  if (head)
    cg_list_header_init(&node->list);
  else
    cg_list_node_init(&node->list);
  node->name = cg_string{};
  node->value = cg_string{};
  cg_list_header_init(&node->attributes.list);
  node->attributes.name = cg_string{};
  node->attributes.value = cg_string{};
  node->children = nullptr;
  node->parent = nullptr;
}

// A node is allocated together with the head of its children, so an element
// costs one allocation besides its texts.
struct node_block {
  cg_xml_node node;
  cg_xml_node_list children;
};
static_assert(offsetof(node_block, node) == 0);

// Releases what one node owns except its children, which the caller has
// already taken, and frees it with its children head.
void free_node(cg_xml_node* node) {
  cg_string_clear(&node->name);
  cg_string_clear(&node->value);
  cg_xml_attribute_list_clear(&node->attributes);
  free(node);
}

}  // namespace

cg_xml_node_list* cg_xml_node_list_new() {
  auto* list = static_cast<cg_xml_node_list*>(malloc(sizeof(cg_xml_node_list)));
  if (list == nullptr) return nullptr;
  init_node(list, true);
  return list;
}

void cg_xml_node_list_clear(cg_xml_node_list* list) {
  if (list == nullptr) return;
  while (list->list.next != &list->list) cg_xml_node_delete(as_node(list->list.next));
}

void cg_xml_node_list_delete(cg_xml_node_list* list) {
  if (list == nullptr) return;
  cg_xml_node_list_clear(list);
  free(list);
}

void cg_xml_node_list_add(cg_xml_node_list* list, cg_xml_node* node) {
  if (list == nullptr || node == nullptr) return;
  cg_list_remove(&node->list);
  cg_list_append(&list->list, &node->list);
}

cg_xml_node* cg_xml_node_list_first(cg_xml_node_list* list) {
  if (list == nullptr || list->list.next == &list->list) return nullptr;
  return as_node(list->list.next);
}

cg_xml_node* cg_xml_node_list_find(cg_xml_node_list* list, const char* name) {
  if (name == nullptr) return nullptr;
  for (cg_xml_node* n = cg_xml_node_list_first(list); n; n = cg_xml_node_next(n))
    if (vbd_xml::name_equals(n->name, name)) return n;
  return nullptr;
}

int cg_xml_node_list_size(const cg_xml_node_list* list) {
  return list ? cg_list_size(&list->list) : 0;
}

cg_xml_node* cg_xml_node_new() {
  auto* block = static_cast<node_block*>(malloc(sizeof(node_block)));
  if (block == nullptr) return nullptr;
  init_node(&block->node, false);
  init_node(&block->children, true);
  block->node.children = &block->children;
  return &block->node;
}

// Deletes the subtree in document order through a work list made of the
// nodes' own links: each node's children ring is spliced whole to the front
// of the list before the node is freed. No recursion, so any depth is fine,
// and memory is visited in the order the parser allocated it.
void cg_xml_node_delete(cg_xml_node* node) {
  if (node == nullptr) return;
  cg_list_remove(&node->list);
  cg_list work;
  cg_list_header_init(&work);
  cg_list_append(&work, &node->list);
  while (work.next != &work) {
    cg_xml_node* n = as_node(work.next);
    cg_list* after = n->list.next;
    cg_list* head = n->children ? &n->children->list : nullptr;
    if (head != nullptr && head->next != head) {
      cg_list* first = head->next;
      cg_list* last = head->prev;
      work.next = first;
      first->prev = &work;
      last->next = after;
      after->prev = last;
    } else {
      work.next = after;
      after->prev = &work;
    }
    free_node(n);
  }
}

cg_xml_node* cg_xml_node_next(cg_xml_node* node) {
  if (node == nullptr || node->list.next == nullptr || node->list.next->is_head) return nullptr;
  return as_node(node->list.next);
}

int cg_xml_node_set_name(cg_xml_node* node, const char* name) {
  if (node == nullptr) return 0;
  if (name == nullptr) return 1;
  return vbd_xml::set_bytes(&node->name, name, strlen(name));
}

char* cg_xml_node_get_name(const cg_xml_node* node) {
  return node ? cg_string_value(&node->name) : nullptr;
}

int cg_xml_node_set_value(cg_xml_node* node, const char* value) {
  if (node == nullptr) return 0;
  if (value == nullptr) return 1;
  return vbd_xml::set_bytes(&node->value, value, strlen(value));
}

int cg_xml_node_add_value(cg_xml_node* node, const char* bytes, int n) {
  if (node == nullptr) return 0;
  if (bytes == nullptr || n <= 0) return 1;
  return vbd_xml::append_bytes(&node->value, bytes, static_cast<size_t>(n));
}

char* cg_xml_node_get_value(const cg_xml_node* node) {
  return node ? cg_string_value(&node->value) : nullptr;
}

cg_xml_node* cg_xml_node_get_parent(const cg_xml_node* node) {
  return node ? node->parent : nullptr;
}

cg_xml_node_list* cg_xml_node_get_children(cg_xml_node* node) {
  return node ? node->children : nullptr;
}

int cg_xml_node_has_children(const cg_xml_node* node) {
  return node != nullptr && node->children != nullptr &&
         node->children->list.next != &node->children->list;
}

void cg_xml_node_add_child(cg_xml_node* parent, cg_xml_node* child) {
  if (parent == nullptr || child == nullptr || parent->children == nullptr) return;
  cg_xml_node_list_add(parent->children, child);
  child->parent = parent;
}

cg_xml_node* cg_xml_node_find_child(cg_xml_node* node, const char* name) {
  return node ? cg_xml_node_list_find(node->children, name) : nullptr;
}

char* cg_xml_node_get_child_value(cg_xml_node* node, const char* name) {
  return cg_xml_node_get_value(cg_xml_node_find_child(node, name));
}

int cg_xml_node_set_child_value(cg_xml_node* node, const char* name, const char* value) {
  if (node == nullptr || name == nullptr) return 0;
  if (cg_xml_node* child = cg_xml_node_find_child(node, name))
    return cg_xml_node_set_value(child, value);
  cg_xml_node* child = cg_xml_node_new();
  if (child == nullptr) return 0;
  if (!cg_xml_node_set_name(child, name) || !cg_xml_node_set_value(child, value)) {
    cg_xml_node_delete(child);
    return 0;
  }
  cg_xml_node_add_child(node, child);
  return 1;
}

cg_xml_attribute_list* cg_xml_node_get_attributes(cg_xml_node* node) {
  return node ? &node->attributes : nullptr;
}

bool vbd_xml::node_set_attribute(cg_xml_node* node, const char* name, size_t name_len,
                                 const char* value, size_t value_len) {
  cg_xml_attribute* attr = nullptr;
  for (cg_xml_attribute* a = cg_xml_attribute_list_first(&node->attributes); a;
       a = cg_xml_attribute_next(a)) {
    if (name_equals(a->name, name, name_len)) {
      attr = a;
      break;
    }
  }
  if (attr == nullptr) {
    attr = cg_xml_attribute_new();
    if (attr == nullptr) return false;
    if (!set_bytes(&attr->name, name, name_len)) {
      cg_xml_attribute_delete(attr);
      return false;
    }
    cg_list_append(&node->attributes.list, &attr->list);
  }
  return set_bytes(&attr->value, value, value_len);
}

int cg_xml_node_set_attribute(cg_xml_node* node, const char* name, const char* value) {
  if (node == nullptr || name == nullptr) return 0;
  if (value == nullptr) {
    // A missing value names the attribute and leaves its value as it was.
    if (cg_xml_node_get_attribute(node, name) != nullptr) return 1;
    cg_xml_attribute* attr = cg_xml_attribute_new();
    if (attr == nullptr || !cg_xml_attribute_set_name(attr, name)) {
      cg_xml_attribute_delete(attr);
      return 0;
    }
    cg_list_append(&node->attributes.list, &attr->list);
    return 1;
  }
  return vbd_xml::node_set_attribute(node, name, strlen(name), value, strlen(value));
}

cg_xml_attribute* cg_xml_node_get_attribute(cg_xml_node* node, const char* name) {
  return node ? cg_xml_attribute_list_find(&node->attributes, name) : nullptr;
}

char* cg_xml_node_get_attribute_value(cg_xml_node* node, const char* name) {
  return cg_xml_attribute_get_value(cg_xml_node_get_attribute(node, name));
}
