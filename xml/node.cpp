// XML element nodes and node lists: records, ownership, child and attribute
// lookups by name.
#include <cstddef>
#include <cstdlib>
#include <string_view>

#include "xml/tree_internal.h"

using vbd_xml::list_first;
using vbd_xml::list_next;

namespace {

cg_xml_node* as_node(cg_list* link) { return reinterpret_cast<cg_xml_node*>(link); }

// Fills every field of a node record or a node list head. Nodes are not made
// by the zeroing record_new: the parser makes one per element, and a list per
// parse, and filling the fields is the cheaper start.
void init_node(cg_xml_node* node, bool head) {
  if (head)
    cg_list_header_init(&node->node);
  else
    cg_list_node_init(&node->node);
  node->name = cg_string{};
  node->value = cg_string{};
  cg_list_header_init(&node->attributes.node);
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
  std::free(node);
}

// The attribute of that name, or a new last one carrying the name; none when
// memory ran out.
cg_xml_attribute* attribute_named(cg_xml_node* node, std::string_view name) {
  if (cg_xml_attribute* attr = vbd_xml::find_named(&node->attributes, name)) return attr;
  cg_xml_attribute* attr = cg_xml_attribute_new();
  if (attr == nullptr) return nullptr;
  if (!vbd_xml::set_bytes(&attr->name, name)) {
    cg_xml_attribute_delete(attr);
    return nullptr;
  }
  cg_xml_attribute_list_add(&node->attributes, attr);
  return attr;
}

}  // namespace

cg_xml_node_list* cg_xml_node_list_new() {
  auto* list = static_cast<cg_xml_node_list*>(std::malloc(sizeof(cg_xml_node_list)));
  if (list != nullptr) init_node(list, true);
  return list;
}

void cg_xml_node_list_clear(cg_xml_node_list* list) {
  for (cg_xml_node* n = list_first(list); n; n = list_first(list)) cg_xml_node_delete(n);
}

void cg_xml_node_list_delete(cg_xml_node_list* list) {
  if (list == nullptr) return;
  cg_xml_node_list_clear(list);
  std::free(list);
}

void cg_xml_node_list_add(cg_xml_node_list* list, cg_xml_node* node) {
  if (list == nullptr || node == nullptr) return;
  cg_list_remove(&node->node);
  cg_list_append(&list->node, &node->node);
}

cg_xml_node* cg_xml_node_list_first(cg_xml_node_list* list) { return list_first(list); }

cg_xml_node* cg_xml_node_list_find(cg_xml_node_list* list, const char* name) {
  return name ? vbd_xml::find_named(list, name) : nullptr;
}

int cg_xml_node_list_size(const cg_xml_node_list* list) { return vbd_xml::list_size(list); }

cg_xml_node* cg_xml_node_new() {
  auto* block = static_cast<node_block*>(std::malloc(sizeof(node_block)));
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
  cg_list_remove(&node->node);
  cg_list work;
  cg_list_header_init(&work);
  cg_list_append(&work, &node->node);
  while (work.next != &work) {
    cg_xml_node* n = as_node(work.next);
    cg_list* after = n->node.next;
    cg_list* head = n->children ? &n->children->node : nullptr;
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

cg_xml_node* cg_xml_node_next(cg_xml_node* node) { return list_next(node); }

int cg_xml_node_set_name(cg_xml_node* node, const char* name) {
  if (node == nullptr) return 0;
  if (name == nullptr) return 1;
  return vbd_xml::set_bytes(&node->name, name);
}

char* cg_xml_node_get_name(const cg_xml_node* node) {
  return node ? cg_string_value(&node->name) : nullptr;
}

int cg_xml_node_set_value(cg_xml_node* node, const char* value) {
  if (node == nullptr) return 0;
  if (value == nullptr) return 1;
  return vbd_xml::set_bytes(&node->value, value);
}

int cg_xml_node_add_value(cg_xml_node* node, const char* bytes, int n) {
  if (node == nullptr) return 0;
  if (bytes == nullptr || n <= 0) return 1;
  return vbd_xml::append_bytes(&node->value, std::string_view(bytes, static_cast<size_t>(n)));
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
  return node != nullptr && vbd_xml::has_children(node);
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

bool vbd_xml::node_set_attribute(cg_xml_node* node, std::string_view name,
                                 std::string_view value) {
  cg_xml_attribute* attr = attribute_named(node, name);
  return attr != nullptr && set_bytes(&attr->value, value);
}

int cg_xml_node_set_attribute(cg_xml_node* node, const char* name, const char* value) {
  if (node == nullptr || name == nullptr) return 0;
  // A missing value names the attribute and leaves its value as it was.
  if (value == nullptr) return attribute_named(node, name) != nullptr;
  return vbd_xml::node_set_attribute(node, name, value);
}

cg_xml_attribute* cg_xml_node_get_attribute(cg_xml_node* node, const char* name) {
  return node ? cg_xml_attribute_list_find(&node->attributes, name) : nullptr;
}

char* cg_xml_node_get_attribute_value(cg_xml_node* node, const char* name) {
  return cg_xml_attribute_get_value(cg_xml_node_get_attribute(node, name));
}
