// Fuzz harness for the request-line processor: arbitrary lines through
// v232cmd_process, with a command function that fills arbitrary response
// records and a reply function that formats every reply. The line sits in a
// buffer of exactly its length, so any read past it is reported.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/v232cmd.h"

namespace {

FuzzedDataProvider* provider = nullptr;
int last_error = V232CMD_RET_STATUS;
int standby = 1;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

int fuzz_command(const v232cmd_req* req, v232cmd_ret* ret, int user_value) {
  check(user_value == 0);
  check(req->cmd >= 0 && req->cmd < V232CMD_COUNT);
  check(ret->ret_id == V232CMD_RET_E04 && ret->cmd_id == req->cmd);
  const bool captures = req->cmd == 11 || req->cmd == 24 || req->cmd == 27 || req->cmd == 28;
  check(captures || req->param == 0);

  if (req->cmd == 0) {  // answered locally, as the request glue does
    ret->ret_id = last_error;
    return 0;
  }
  const auto mode = provider->ConsumeIntegral<uint8_t>();
  if (mode & 1) return 3;  // failed exchange: the prepared response stands
  ret->ret_id = provider->ConsumeIntegralInRange<int32_t>(-1, 12);
  if (mode & 2) ret->cmd_id = provider->ConsumeIntegralInRange<int32_t>(-2, 31);
  const std::vector<uint8_t> data = provider->ConsumeBytes<uint8_t>(sizeof ret->data);
  if (!data.empty()) std::memcpy(ret->data, data.data(), data.size());
  return 0;
}

int fuzz_reply(int code, const v232cmd_ret* ret, int user_value) {
  check(user_value == 0);
  check(code == V232CMD_COMPLETE_REPLY || code == V232CMD_COMPLETE_END || code == V232CMD_COMPLETE_ABORT ||
        code == V232CMD_COMPLETE_NO_MATCH);
  check(ret->ret_id != V232CMD_RET_NONE);
  auto buf = std::make_unique<char[]>(V232CMD_REPLY_BUFFER_SIZE);
  const int rc = v232cmd_conv_ret_to_string(ret, standby, buf.get(), V232CMD_REPLY_BUFFER_SIZE);
  const bool known = static_cast<uint32_t>(ret->ret_id) <= V232CMD_RET_STATUS;
  check(rc == 0 || rc == 1);
  check(!known || strnlen(buf.get(), V232CMD_REPLY_BUFFER_SIZE) <= V232CMD_REPLY_TEXT_MAX);
  if (ret->ret_id >= V232CMD_RET_E00 && ret->ret_id <= V232CMD_RET_E99) last_error = ret->ret_id;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The formatter's log line would flood the fuzzer's output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  provider = &fdp;
  last_error = V232CMD_RET_STATUS;
  standby = fdp.ConsumeBool() ? 1 : 0;

  const size_t length = fdp.ConsumeIntegralInRange<size_t>(0, 256);
  const std::vector<char> bytes = fdp.ConsumeBytes<char>(length);
  std::unique_ptr<char[]> line;
  if (!bytes.empty()) {
    line = std::make_unique<char[]>(bytes.size());
    std::memcpy(line.get(), bytes.data(), bytes.size());
  }
  const int rc = v232cmd_process(line.get(), static_cast<int>(bytes.size()), fuzz_command, fuzz_reply, 0);
  check(rc == 0 || rc == -1);
  provider = nullptr;
  return 0;
}
