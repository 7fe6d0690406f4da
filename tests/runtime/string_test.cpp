// Tests of cg_string growth, the byte buffer's cap, the NULL-tolerant helpers, replace-all and the tokenizer.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "runtime/runtime.h"

namespace {

struct StringDeleter {
  void operator()(cg_string* s) const { cg_string_delete(s); }
};
using StringPtr = std::unique_ptr<cg_string, StringDeleter>;

StringPtr make_string(const char* text = nullptr) {
  StringPtr s(cg_string_new());
  if (text) cg_string_set(s.get(), text);
  return s;
}

TEST(CgString, GrowthIsNeededPlusSixteen) {
  auto s = make_string();
  EXPECT_EQ(cg_string_value(s.get()), nullptr);
  EXPECT_EQ(cg_string_length(s.get()), 0);
  cg_string_append_n(s.get(), "x", 1);
  EXPECT_EQ(cg_string_capacity(s.get()), 18);  // needed 2, plus 16
  // Appends within the slack do not reallocate.
  for (int i = 0; i < 16; i++) cg_string_append(s.get(), "y");
  EXPECT_EQ(cg_string_length(s.get()), 17);
  EXPECT_EQ(cg_string_capacity(s.get()), 18);
  cg_string_append(s.get(), "z");
  EXPECT_EQ(cg_string_capacity(s.get()), 19 + 16);

  // A set string has no slack: the first append reallocates.
  cg_string_set_n(s.get(), "abc", 3);
  EXPECT_EQ(cg_string_capacity(s.get()), 4);
  cg_string_append(s.get(), "d");
  EXPECT_EQ(cg_string_capacity(s.get()), 5 + 16);
  EXPECT_STREQ(cg_string_value(s.get()), "abcd");
}

TEST(CgString, SetAndAppendEdgeCases) {
  auto s = make_string("keep");
  cg_string_set(s.get(), nullptr);
  EXPECT_STREQ(cg_string_value(s.get()), "keep");
  cg_string_set_n(s.get(), nullptr, 3);
  EXPECT_EQ(cg_string_value(s.get()), nullptr);

  EXPECT_EQ(cg_string_append(nullptr, "x"), nullptr);
  cg_string_set(s.get(), "a");
  EXPECT_STREQ(cg_string_append_n(s.get(), "zzz", 0), "a");
  EXPECT_STREQ(cg_string_append_n(s.get(), "zzz", -1), "a");
  EXPECT_STREQ(cg_string_append_repeat(s.get(), "bc", 3), "abcbcbc");
  // Bytes, not text: an embedded NUL is kept and counted.
  cg_string_set_n(s.get(), "a\0b", 3);
  EXPECT_EQ(cg_string_length(s.get()), 3);

  cg_string_set_int(s.get(), -2147483647 - 1);
  EXPECT_STREQ(cg_string_value(s.get()), "-2147483648");
  cg_string_set_long(s.get(), LONG_MIN);
  EXPECT_EQ(std::string(cg_string_value(s.get())), std::to_string(LONG_MIN));
}

const char* const kXmlFrom[] = {"&", "<", ">", "\"", "'"};
const char* const kXmlTo[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};

// Setting a string from its own text (a node renamed after itself, a
// suffix kept) read freed memory before.
TEST(CgString, SetFromItsOwnText) {
  auto s = make_string("abcdef");
  cg_string_set_n(s.get(), cg_string_value(s.get()) + 2, 4);
  EXPECT_STREQ(cg_string_value(s.get()), "cdef");
  EXPECT_EQ(cg_string_capacity(s.get()), 5);
  cg_string_set_n(s.get(), cg_string_value(s.get()), cg_string_length(s.get()));
  EXPECT_STREQ(cg_string_value(s.get()), "cdef");
}

TEST(CgString, ReplaceAll) {
  auto s = make_string("plain text 123");
  cg_string_replace_all(s.get(), kXmlFrom, kXmlTo, 5);
  EXPECT_STREQ(cg_string_value(s.get()), "plain text 123");

  // A replacement is never re-scanned: "&" becomes "&amp;" once.
  cg_string_set(s.get(), "A & B <c>");
  cg_string_replace_all(s.get(), kXmlFrom, kXmlTo, 5);
  EXPECT_STREQ(cg_string_value(s.get()), "A &amp; B &lt;c&gt;");

  // Unescaping the escaped text gives back the original, not a double decode.
  cg_string_set(s.get(), "&amp;lt;");
  cg_string_replace_all(s.get(), kXmlTo, kXmlFrom, 5);
  EXPECT_STREQ(cg_string_value(s.get()), "&lt;");

  // Adjacent matches and a match at the very end.
  cg_string_set(s.get(), "&&x&");
  cg_string_replace_all(s.get(), kXmlFrom, kXmlTo, 5);
  EXPECT_STREQ(cg_string_value(s.get()), "&amp;&amp;x&amp;");
}

TEST(CgString, ReplaceAllEmptyPatternNeverMatches) {
  const char* from[] = {"", "b"};
  const char* to[] = {"X", "Y"};
  auto s = make_string("abc");
  ASSERT_NE(cg_string_replace_all(s.get(), from, to, 2), nullptr);
  EXPECT_STREQ(cg_string_value(s.get()), "aYc");
}

// The cap is what keeps a hostile peer from growing a message without end:
// a refused append leaves the content intact and the failure sticks.
TEST(CgBuffer, CapRefusesAndTheFailureSticksUntilReset) {
  vbd_runtime::byte_buffer buf(10);
  EXPECT_TRUE(buf.append("0123456789"));
  EXPECT_FALSE(buf.append('x'));
  EXPECT_FALSE(buf.ok());
  EXPECT_EQ(buf.view(), "0123456789");
  EXPECT_EQ(buf.data()[buf.size()], '\0');
  ASSERT_NE(buf.reset_for(4), nullptr);
  EXPECT_TRUE(buf.ok());
  EXPECT_TRUE(buf.fill('-', 3));
  EXPECT_EQ(buf.view(), "---");
}

TEST(CgBuffer, MovesIntoAStringAndGrowsPastItsFirstBlock) {
  cg_buffer raw{};
  std::string expected;
  for (int i = 0; i < 1000; i++) {
    ASSERT_TRUE(cg_buffer_append(&raw, "abc"));
    expected += "abc";
  }
  auto s = make_string("old");
  cg_buffer_move_to_string(&raw, s.get());
  EXPECT_EQ(std::string(cg_string_value(s.get())), expected);
  EXPECT_EQ(cg_string_length(s.get()), 3000);
  EXPECT_EQ(raw.data, nullptr);
  // A buffer that never held memory leaves the string unset.
  cg_buffer_move_to_string(&raw, s.get());
  EXPECT_EQ(cg_string_value(s.get()), nullptr);
}

TEST(CgStr, NullTolerantHelpers) {
  EXPECT_EQ(cg_str_compare(nullptr, nullptr), -1);
  EXPECT_EQ(cg_str_compare("a", nullptr), 1);
  EXPECT_EQ(cg_str_case_compare("a", nullptr), -1);
  EXPECT_EQ(cg_str_case_compare("ABC", "abc"), 0);
  EXPECT_EQ(cg_str_equal(nullptr, nullptr), 0);
  EXPECT_EQ(cg_str_case_equal("Device", "DEVICE"), 1);
  EXPECT_EQ(cg_str_len(nullptr), 0u);
  EXPECT_EQ(cg_str_dup(nullptr), nullptr);
  EXPECT_EQ(cg_str_index_of("hello", "ll"), 2);
  EXPECT_EQ(cg_str_index_of("hello", nullptr), -1);
  EXPECT_EQ(cg_str_find_first_of("a:b:c", ":", 1), 1);
  EXPECT_EQ(cg_str_find_last_of("a:b:c", ":", 1), 3);
  EXPECT_EQ(cg_str_find_first_of("a:b", ":", 0), -1);
}

TEST(CgStr, Trimming) {
  char text[] = "  two words \t\n";
  EXPECT_STREQ(cg_str_trim_space(text), "two words");
  char spaces[] = " \t ";
  EXPECT_STREQ(cg_str_trim_space(spaces), "");
  char quoted[] = "\"\"value\"";
  EXPECT_STREQ(cg_str_trim(quoted, "\"", 1), "value");
  char untouched[] = "xx";
  EXPECT_STREQ(cg_str_ltrim(untouched, "x", 0), "xx");
  char upper[] = "MiXeD";
  EXPECT_STREQ(cg_str_to_lower(upper), "mixed");
}

std::vector<std::string> tokens_of(std::string text, const char* delims) {
  std::vector<std::string> out;
  cg_string_tokenizer* tok = cg_string_tokenizer_new(text.data(), delims);
  while (cg_string_tokenizer_has_more(tok)) out.emplace_back(cg_string_tokenizer_next(tok));
  cg_string_tokenizer_delete(tok);
  return out;
}

TEST(CgTokenizer, RunsOfDelimitersAndEnds) {
  EXPECT_EQ(tokens_of("CON", " "), std::vector<std::string>{"CON"});
  EXPECT_EQ(tokens_of("one  two", " "), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(tokens_of("  lead trail  ", " "), (std::vector<std::string>{"lead", "trail"}));
  EXPECT_EQ(tokens_of("a: b\r\nc", ": \r\n"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(tokens_of("", " ").empty());
  EXPECT_TRUE(tokens_of("   ", " ").empty());
}

TEST(CgTokenizer, RestRestoresTheText) {
  char text[] = "GET /description.xml  HTTP/1.1";
  cg_string_tokenizer* tok = cg_string_tokenizer_new(text, " ");
  EXPECT_STREQ(cg_string_tokenizer_next(tok), "GET");
  ASSERT_TRUE(cg_string_tokenizer_has_more(tok));
  EXPECT_STREQ(cg_string_tokenizer_rest(tok), "/description.xml  HTTP/1.1");
  EXPECT_FALSE(cg_string_tokenizer_has_more(tok));
  cg_string_tokenizer_delete(tok);

  // Rest of the last token: nothing after it to restore.
  char last[] = "a b";
  tok = cg_string_tokenizer_new(last, " ");
  cg_string_tokenizer_next(tok);
  EXPECT_STREQ(cg_string_tokenizer_rest(tok), "b");
  cg_string_tokenizer_delete(tok);
}

}  // namespace
