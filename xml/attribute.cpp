// XML attributes and attribute lists: records, setters and lookup by name.
#include <cstdlib>

#include "xml/tree_internal.h"

namespace {

void init_attribute(cg_xml_attribute* attr, bool head) {
  if (head)
    cg_list_header_init(&attr->list);
  else
    cg_list_node_init(&attr->list);
  attr->name = cg_string{};
  attr->value = cg_string{};
}

}  // namespace

cg_xml_attribute* cg_xml_attribute_new() {
  auto* attr = static_cast<cg_xml_attribute*>(malloc(sizeof(cg_xml_attribute)));
  if (attr == nullptr) return nullptr;
  init_attribute(attr, false);
  return attr;
}

void cg_xml_attribute_delete(cg_xml_attribute* attr) {
  if (attr == nullptr) return;
  cg_list_remove(&attr->list);
  cg_string_clear(&attr->name);
  cg_string_clear(&attr->value);
  free(attr);
}

int cg_xml_attribute_set_name(cg_xml_attribute* attr, const char* name) {
  if (attr == nullptr) return 0;
  if (name == nullptr) return 1;
  cg_string_set(&attr->name, name);
  return attr->name.value != nullptr;
}

char* cg_xml_attribute_get_name(const cg_xml_attribute* attr) {
  return attr ? cg_string_value(&attr->name) : nullptr;
}

int cg_xml_attribute_set_value(cg_xml_attribute* attr, const char* value) {
  if (attr == nullptr) return 0;
  if (value == nullptr) return 1;
  cg_string_set(&attr->value, value);
  return attr->value.value != nullptr;
}

char* cg_xml_attribute_get_value(const cg_xml_attribute* attr) {
  return attr ? cg_string_value(&attr->value) : nullptr;
}

cg_xml_attribute* cg_xml_attribute_next(cg_xml_attribute* attr) {
  if (attr == nullptr || attr->list.next == nullptr || attr->list.next->is_head) return nullptr;
  return reinterpret_cast<cg_xml_attribute*>(attr->list.next);
}

cg_xml_attribute_list* cg_xml_attribute_list_new() {
  auto* list = static_cast<cg_xml_attribute_list*>(malloc(sizeof(cg_xml_attribute_list)));
  if (list == nullptr) return nullptr;
  init_attribute(list, true);
  return list;
}

void cg_xml_attribute_list_clear(cg_xml_attribute_list* list) {
  if (list == nullptr) return;
  while (list->list.next != &list->list)
    cg_xml_attribute_delete(reinterpret_cast<cg_xml_attribute*>(list->list.next));
}

void cg_xml_attribute_list_delete(cg_xml_attribute_list* list) {
  if (list == nullptr) return;
  cg_xml_attribute_list_clear(list);
  free(list);
}

void cg_xml_attribute_list_add(cg_xml_attribute_list* list, cg_xml_attribute* attr) {
  if (list == nullptr || attr == nullptr) return;
  cg_list_remove(&attr->list);
  cg_list_append(&list->list, &attr->list);
}

cg_xml_attribute* cg_xml_attribute_list_first(cg_xml_attribute_list* list) {
  if (list == nullptr || list->list.next == &list->list) return nullptr;
  return reinterpret_cast<cg_xml_attribute*>(list->list.next);
}

cg_xml_attribute* cg_xml_attribute_list_find(cg_xml_attribute_list* list, const char* name) {
  if (name == nullptr) return nullptr;
  for (cg_xml_attribute* a = cg_xml_attribute_list_first(list); a; a = cg_xml_attribute_next(a))
    if (vbd_xml::name_equals(a->name, name)) return a;
  return nullptr;
}

int cg_xml_attribute_list_size(const cg_xml_attribute_list* list) {
  return list ? cg_list_size(&list->list) : 0;
}
