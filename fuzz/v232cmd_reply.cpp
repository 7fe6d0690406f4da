// Fuzz harness for the reply formatter: arbitrary 44-byte response records
// converted into buffers of arbitrary size. The record and the buffer sit in
// allocations of exactly their size, so any access past them is reported.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/v232cmd.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr char kFill = '#';

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The formatter's log line would flood the fuzzer's output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // First byte: standby state in bit 7, buffer size in the low bits (0..64).
  const int buf_size = data[0] & 0x7f ? (data[0] & 0x7f) % 65 : V232CMD_REPLY_BUFFER_SIZE;
  const int standby = (data[0] & 0x80) ? 1 : 0;
  auto ret = std::make_unique<v232cmd_ret>();
  std::memcpy(ret.get(), data + 1, size - 1 < sizeof(v232cmd_ret) ? size - 1 : sizeof(v232cmd_ret));

  const size_t alloc = buf_size > 0 ? static_cast<size_t>(buf_size) : 1;
  auto buf = std::make_unique<char[]>(alloc);
  std::memset(buf.get(), kFill, alloc);
  const int rc = v232cmd_conv_ret_to_string(ret.get(), standby, buf.get(), buf_size);

  const bool convertible = static_cast<uint32_t>(ret->ret_id) <= V232CMD_RET_STATUS && buf_size > 0;
  if (!convertible) {
    check(rc == 1);
    check(buf[0] == kFill && buf[alloc - 1] == kFill);  // left unchanged
    return 0;
  }
  check(rc == 0 || rc == 1);
  const size_t len = strnlen(buf.get(), alloc);
  check(len < alloc);  // always terminated inside the buffer
  check(len <= V232CMD_REPLY_TEXT_MAX || ret->cmd_id == 22 || ret->cmd_id == 23);
  // Nothing but the reply text, then zeros to the end of the buffer.
  for (size_t i = len; i < alloc; ++i) check(buf[i] == '\0');
  return 0;
}
