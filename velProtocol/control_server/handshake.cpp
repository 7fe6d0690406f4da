// Connection-level requests: "CON" (with the optional registration test of
// the client's MAC address) and "BIN", which the server answers itself
// before the request reaches the application.
#include <cstdlib>
#include <cstring>

#include "velProtocol/control_server/server_internal.h"

namespace {

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// "CON <mac> <name>": the words after the first, split at runs of spaces.
// 1 when the MAC names an allowed registered client.
int registration_allows(vel_protocol_server* server, const char* text) {
  char* copy = cg_str_dup(text);
  cg_string_tokenizer* tok = copy ? cg_string_tokenizer_new(copy, " ") : nullptr;
  const char* mac = nullptr;
  const char* name = nullptr;
  if (tok) {
    cg_string_tokenizer_next(tok);  // "CON..."
    if (cg_string_tokenizer_has_more(tok)) mac = cg_string_tokenizer_next(tok);
    if (cg_string_tokenizer_has_more(tok)) name = cg_string_tokenizer_next(tok);
  }
  cg_mutex_lock(server->mutex);
  int allowed = vel_protocolo_server_clientlist_check(server->registered_clients, mac, name);
  cg_mutex_unlock(server->mutex);
  cg_string_tokenizer_delete(tok);
  std::free(copy);
  return allowed;
}

}  // namespace

int vel_protocol_server_handshake(vel_protocol_server* server, const char* text) {
  if (!text) return VEL_HANDSHAKE_NONE;
  if (starts_with(text, "CON")) {
    if (server && server->check_registration && !registration_allows(server, text)) {
      return VEL_HANDSHAKE_REFUSE;
    }
    return VEL_HANDSHAKE_CON;
  }
  if (starts_with(text, "BIN") && std::strcmp(text, "BINFIN") != 0) return VEL_HANDSHAKE_BINFIN;
  return VEL_HANDSHAKE_NONE;
}
