// Fuzz harness: cg_string_replace_all with XML-like tables, and the tokenizer
// including its rest operation, on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/runtime.h"

namespace {
const char* const kFrom[] = {"&", "<", ">", "\"", "'", ""};
const char* const kTo[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "X"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  cg_string* s = cg_string_new();
  cg_string_set_n(s, text.data(), static_cast<int>(text.size()));
  cg_string_replace_all(s, kFrom, kTo, 6);
  cg_string_replace_all(s, kTo, kFrom, 5);
  cg_string_delete(s);

  // The tokenizer works on a NUL-terminated writable text; the first byte
  // picks how many tokens are taken before asking for the rest.
  std::string writable(text.c_str());
  size_t take = size ? data[0] % 4 : 0;
  cg_string_tokenizer* tok = cg_string_tokenizer_new(writable.data(), " :\r\n");
  for (size_t i = 0; cg_string_tokenizer_has_more(tok); i++) {
    if (i == take) {
      cg_string_tokenizer_rest(tok);
      break;
    }
    cg_string_tokenizer_next(tok);
  }
  cg_string_tokenizer_delete(tok);
  return 0;
}
