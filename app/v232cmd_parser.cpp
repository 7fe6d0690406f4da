// Request-line processor: walks a line mnemonic by mnemonic, runs each
// command and decides when the pending reply is delivered.
//
// Reply rules the clients see: an action command's reply stays pending until
// the end of the line (a later command overwrites it), a status reply goes
// out at once, anything that is not a mnemonic turns the pending reply into
// "E04" and ends the line, the first error ends the line, and a 0xFF byte
// aborts it after delivering what was pending.
#include <cstring>

#include "app/v232cmd.h"

int v232cmd_dispatch(int index, int32_t param, v232cmd_ctx* ctx) {
  if (ctx == nullptr) return -1;
  const v232cmd_req req{index, param};

  // Prepared as "E04": a command that is not answered reports that.
  std::memset(&ctx->ret, 0, sizeof ctx->ret);
  ctx->ret.ret_id = V232CMD_RET_E04;
  ctx->ret.cmd_id = index;

  // Without a command function nothing can answer: the line stops on "E04".
  if (ctx->command_fn == nullptr) return -1;
  if (ctx->command_fn(&req, &ctx->ret, ctx->user_value) != 0) return -1;

  const int ret_id = ctx->ret.ret_id;
  if (ret_id >= V232CMD_RET_E00 && ret_id <= V232CMD_RET_E99) return -1;
  if (ret_id == V232CMD_RET_STATUS) v232cmd_complete(V232CMD_COMPLETE_REPLY, ctx);
  return 0;
}

void v232cmd_complete(int code, v232cmd_ctx* ctx) {
  if (ctx == nullptr) return;
  if (code == V232CMD_COMPLETE_NO_MATCH) {
    ctx->ret.ret_id = V232CMD_RET_E04;
  } else if (ctx->ret.ret_id == V232CMD_RET_NONE) {
    return;
  }
  if (ctx->reply_fn != nullptr) ctx->reply_fn(code, &ctx->ret, ctx->user_value);
  std::memset(&ctx->ret, 0, sizeof ctx->ret);
}

int v232cmd_parse_line(const char* text, int length, const v232cmd_def* def, v232cmd_ctx* ctx) {
  if (def == nullptr || ctx == nullptr || def->dispatch == nullptr || def->complete == nullptr) {
    return -1;
  }
  if (text == nullptr || length <= 0) {
    def->complete(V232CMD_COMPLETE_END, ctx);
    return 0;
  }

  int pos = 0;
  while (pos < length) {
    int consumed = 0;
    int32_t param = 0;
    const int result = v232cmd_match(def->names, def->count, text + pos, length - pos, &consumed, &param);
    if (result == V232CMD_ABORT) {
      def->complete(V232CMD_COMPLETE_ABORT, ctx);
      return -1;
    }
    if (result == V232CMD_END) {
      def->complete(V232CMD_COMPLETE_END, ctx);
      pos += 1;
      continue;
    }
    if (result == V232CMD_NO_MATCH) {
      def->complete(V232CMD_COMPLETE_NO_MATCH, ctx);
      break;
    }
    if (def->dispatch(result, param, ctx) != 0) {
      def->complete(V232CMD_COMPLETE_REPLY, ctx);
      break;
    }
    pos += consumed;
  }
  def->complete(V232CMD_COMPLETE_END, ctx);
  return 0;
}

int v232cmd_process(const char* text, int length, v232cmd_command_fn command_fn,
                    v232cmd_reply_fn reply_fn, int user_value) {
  v232cmd_ctx ctx{};
  ctx.command_fn = command_fn;
  ctx.reply_fn = reply_fn;
  ctx.user_value = user_value;
  return v232cmd_parse_line(text, length, &v232cmd_descriptor, &ctx);
}
