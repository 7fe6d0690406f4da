// cg_http_header and cg_http_header_list: named values in insertion order,
// looked up by name ignoring case.
#include <cstdlib>

#include "http/http_internal.h"

namespace {

cg_http_header* header_alloc(bool is_head) {
  auto* header = vbd_runtime::record_new<cg_http_header>(is_head);
  if (!header || is_head) return header;
  header->name = cg_string_new();
  header->value = cg_string_new();
  if (!header->name || !header->value) {
    cg_http_header_delete(header);
    return nullptr;
  }
  return header;
}

void header_destructor(void* header) {
  cg_http_header_delete(static_cast<cg_http_header*>(header));
}

// A missing text leaves the field without a value.
void set_text(cg_string* field, const char* text) {
  if (text) {
    cg_string_set(field, text);
  } else {
    cg_string_clear(field);
  }
}

}  // namespace

cg_http_header* cg_http_header_new() { return header_alloc(false); }

void cg_http_header_delete(cg_http_header* header) {
  if (!header) return;
  cg_list_remove(&header->node);
  cg_string_delete(header->name);
  cg_string_delete(header->value);
  std::free(header);
}

void cg_http_header_set_name(cg_http_header* header, const char* name) {
  if (header) set_text(header->name, name);
}

const char* cg_http_header_get_name(const cg_http_header* header) {
  return header ? cg_string_value(header->name) : nullptr;
}

void cg_http_header_set_value(cg_http_header* header, const char* value) {
  if (header) set_text(header->value, value);
}

const char* cg_http_header_get_value(const cg_http_header* header) {
  return header ? cg_string_value(header->value) : nullptr;
}

cg_http_header* cg_http_header_next(cg_http_header* header) {
  return vbd_runtime::list_next(header);
}

cg_http_header_list* cg_http_header_list_new() { return header_alloc(true); }

void cg_http_header_list_delete(cg_http_header_list* list) {
  if (!list) return;
  cg_http_header_list_clear(list);
  std::free(list);
}

void cg_http_header_list_clear(cg_http_header_list* list) {
  if (list) cg_list_clear(&list->node, header_destructor);
}

void cg_http_header_list_add(cg_http_header_list* list, cg_http_header* header) {
  if (list && header) cg_list_append(&list->node, &header->node);
}

int cg_http_header_list_size(const cg_http_header_list* list) {
  return vbd_runtime::list_size(list);
}

cg_http_header* cg_http_header_list_first(cg_http_header_list* list) {
  return vbd_runtime::list_first(list);
}

cg_http_header* cg_http_header_list_get(cg_http_header_list* list, const char* name) {
  if (!name) return nullptr;
  std::string_view wanted(name);
  for (cg_http_header* h = cg_http_header_list_first(list); h; h = cg_http_header_next(h)) {
    if (cg_string_value(h->name) && vbd_http::iequals(vbd_http::view_of(h->name), wanted)) return h;
  }
  return nullptr;
}

const char* cg_http_header_list_get_value(cg_http_header_list* list, const char* name) {
  return cg_http_header_get_value(cg_http_header_list_get(list, name));
}

cg_http_header* cg_http_header_list_set(cg_http_header_list* list, const char* name,
                                        const char* value) {
  cg_http_header* header = cg_http_header_list_get(list, name);
  if (!header) return cg_http_header_list_append(list, name, value);
  cg_http_header_set_value(header, value);
  return header;
}

cg_http_header* cg_http_header_list_append(cg_http_header_list* list, const char* name,
                                           const char* value) {
  if (!list || !name) return nullptr;
  cg_http_header* header = cg_http_header_new();
  if (!header) return nullptr;
  cg_http_header_set_name(header, name);
  cg_http_header_set_value(header, value);
  cg_http_header_list_add(list, header);
  return header;
}
