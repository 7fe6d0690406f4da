// cg_http_response: the response record and its status line fields.
#include <cstdlib>

#include "http/http_internal.h"

cg_http_response* cg_http_response_new() {
  auto* response = static_cast<cg_http_response*>(std::calloc(1, sizeof(cg_http_response)));
  if (!response) return nullptr;
  response->version = cg_string_new();
  response->reason_phrase = cg_string_new();
  if (!vbd_http::packet_init(&response->packet) || !response->version || !response->reason_phrase) {
    cg_http_response_delete(response);
    return nullptr;
  }
  cg_string_set(response->version, CG_HTTP_VER11);
  cg_http_response_set_status_code(response, CG_HTTP_STATUS_BAD_REQUEST);
  return response;
}

void cg_http_response_delete(cg_http_response* response) {
  if (!response) return;
  vbd_http::packet_release(&response->packet);
  cg_string_delete(response->version);
  cg_string_delete(response->reason_phrase);
  std::free(response);
}

void cg_http_response_clear(cg_http_response* response) {
  if (!response) return;
  cg_http_packet_clear(&response->packet);
  cg_string_clear(response->version);
  cg_string_clear(response->reason_phrase);
  response->status_code = CG_HTTP_STATUS_INTERNAL_SERVER_ERROR;
}

cg_http_packet* cg_http_response_get_packet(cg_http_response* response) {
  return response ? &response->packet : nullptr;
}

void cg_http_response_set_status_code(cg_http_response* response, int code) {
  if (!response) return;
  response->status_code = code;
  cg_string_set(response->reason_phrase, cg_http_status_reason(code));
}

int cg_http_response_get_status_code(const cg_http_response* response) {
  return response ? response->status_code : 0;
}

void cg_http_response_set_version(cg_http_response* response, const char* version) {
  if (response) cg_string_set(response->version, version);
}

const char* cg_http_response_get_version(const cg_http_response* response) {
  return response ? cg_string_value(response->version) : nullptr;
}

void cg_http_response_set_reason_phrase(cg_http_response* response, const char* phrase) {
  if (response) cg_string_set(response->reason_phrase, phrase);
}

const char* cg_http_response_get_reason_phrase(const cg_http_response* response) {
  return response ? cg_string_value(response->reason_phrase) : nullptr;
}
