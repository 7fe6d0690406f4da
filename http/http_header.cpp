// cg_http_header and cg_http_header_list: named values in insertion order,
// looked up by name ignoring case.
#include <cstdlib>

#include "http/http_internal.h"

namespace {

cg_http_header* header_alloc(int is_head) {
  auto* header = static_cast<cg_http_header*>(std::calloc(1, sizeof(cg_http_header)));
  if (!header) return nullptr;
  if (is_head) {
    cg_list_header_init(&header->node);
    return header;
  }
  cg_list_node_init(&header->node);
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

}  // namespace

cg_http_header* cg_http_header_new() { return header_alloc(0); }

void cg_http_header_delete(cg_http_header* header) {
  if (!header) return;
  cg_list_remove(&header->node);
  cg_string_delete(header->name);
  cg_string_delete(header->value);
  std::free(header);
}

void cg_http_header_set_name(cg_http_header* header, const char* name) {
  if (!header) return;
  if (name) {
    cg_string_set(header->name, name);
  } else {
    cg_string_clear(header->name);
  }
}

const char* cg_http_header_get_name(const cg_http_header* header) {
  return header ? cg_string_value(header->name) : nullptr;
}

void cg_http_header_set_value(cg_http_header* header, const char* value) {
  if (!header) return;
  if (value) {
    cg_string_set(header->value, value);
  } else {
    cg_string_clear(header->value);
  }
}

const char* cg_http_header_get_value(const cg_http_header* header) {
  return header ? cg_string_value(header->value) : nullptr;
}

cg_http_header* cg_http_header_next(cg_http_header* header) {
  return header ? reinterpret_cast<cg_http_header*>(cg_list_next(&header->node)) : nullptr;
}

cg_http_header_list* cg_http_header_list_new() { return header_alloc(1); }

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
  return list ? cg_list_size(&list->node) : 0;
}

cg_http_header* cg_http_header_list_first(cg_http_header_list* list) {
  return list ? reinterpret_cast<cg_http_header*>(cg_list_next(&list->node)) : nullptr;
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
