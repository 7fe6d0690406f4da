// XML attributes and attribute lists: records, setters and lookup by name.
#include <cstdlib>

#include "xml/tree_internal.h"

using vbd_xml::list_first;
using vbd_xml::list_next;

cg_xml_attribute* cg_xml_attribute_new() { return vbd_xml::record_new<cg_xml_attribute>(false); }

void cg_xml_attribute_delete(cg_xml_attribute* attr) {
  if (attr == nullptr) return;
  cg_list_remove(&attr->node);
  cg_string_clear(&attr->name);
  cg_string_clear(&attr->value);
  std::free(attr);
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

cg_xml_attribute* cg_xml_attribute_next(cg_xml_attribute* attr) { return list_next(attr); }

cg_xml_attribute_list* cg_xml_attribute_list_new() {
  return vbd_xml::record_new<cg_xml_attribute>(true);
}

void cg_xml_attribute_list_clear(cg_xml_attribute_list* list) {
  for (cg_xml_attribute* a = list_first(list); a; a = list_first(list)) cg_xml_attribute_delete(a);
}

void cg_xml_attribute_list_delete(cg_xml_attribute_list* list) {
  if (list == nullptr) return;
  cg_xml_attribute_list_clear(list);
  std::free(list);
}

void cg_xml_attribute_list_add(cg_xml_attribute_list* list, cg_xml_attribute* attr) {
  if (list == nullptr || attr == nullptr) return;
  cg_list_remove(&attr->node);
  cg_list_append(&list->node, &attr->node);
}

cg_xml_attribute* cg_xml_attribute_list_first(cg_xml_attribute_list* list) {
  return list_first(list);
}

cg_xml_attribute* cg_xml_attribute_list_find(cg_xml_attribute_list* list, const char* name) {
  return name ? vbd_xml::find_named(list, name) : nullptr;
}

int cg_xml_attribute_list_size(const cg_xml_attribute_list* list) {
  return vbd_xml::list_size(list);
}
