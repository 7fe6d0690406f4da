// The bash completion script, sourced into a plain bash and asked as bash
// asks it (COMP_WORDS, COMP_CWORD): options, the discover subcommand and
// its options, interface names, and the mnemonics vbdctl itself lists.
#include <stdio.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Shell-quotes one word.
std::string shell_word(const std::string& word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// COMPREPLY for the words typed so far (the last one is being completed),
// one entry a line; the command word is vbdctl's build path.
std::string complete(const std::vector<std::string>& typed) {
  std::string script = "source " + shell_word(VBDCTL_COMPLETION) + " || exit 9; COMP_WORDS=(" + shell_word(VBDCTL_BIN);
  for (const std::string& w : typed) script += " " + shell_word(w);
  script += "); COMP_CWORD=" + std::to_string(typed.size()) + "; COMPREPLY=(); _vbdctl " + shell_word(VBDCTL_BIN) +
            "; printf '%s\\n' \"${COMPREPLY[@]}\"";
  std::string command = "bash --norc --noprofile -c " + shell_word(script) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "(popen failed)";
  std::string out;
  char chunk[512];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  int status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += "(exit " + std::to_string(status) + ")";
  // An empty COMPREPLY prints one empty line.
  return out == "\n" ? "" : out;
}

TEST(BashCompletion, Options) {
  EXPECT_EQ(complete({"--ti"}), "--timeout\n");
  EXPECT_EQ(complete({"--c"}), "--con\n--connect-timeout\n");
  EXPECT_EQ(complete({"--list"}), "--list-commands\n");
  EXPECT_EQ(complete({"-d"}), "-d\n");
  // Option values that are numbers or free text get nothing.
  EXPECT_EQ(complete({"-p", ""}), "");
  EXPECT_EQ(complete({"--con", ""}), "");
  EXPECT_EQ(complete({"--timeout", "=", ""}), "");
  EXPECT_EQ(complete({"--timeout="}), "");
  // After "--" a word starting with "-" is a command, not an option.
  EXPECT_EQ(complete({"--", "-"}), "");
}

TEST(BashCompletion, DiscoverAndItsOptions) {
  EXPECT_EQ(complete({"disc"}), "discover\n");
  EXPECT_EQ(complete({"-f", "disc"}), "");  // only as the first word
  EXPECT_EQ(complete({"discover", "-"}),
            "-t\n--timeout\n-m\n--mx\n-i\n--interface\n-j\n--json\n-p\n--port\n--no-probe\n-h\n--help\n");
  EXPECT_EQ(complete({"-d", "-j", "--n"}), "--no-probe\n");
  // Interface names, also as "--interface=NAME" split by bash or not.
  EXPECT_EQ(complete({"discover", "-i", "l"}), "lo\n");
  EXPECT_EQ(complete({"discover", "--interface", "=", "l"}), "lo\n");
  EXPECT_EQ(complete({"discover", "--interface=l"}), "--interface=lo\n");
  EXPECT_EQ(complete({"discover", "-t", ""}), "");
}

TEST(BashCompletion, MnemonicsComeFromVbdctl) {
  EXPECT_EQ(complete({"N"}), "NS\nNF\nNR\n");
  // "?" is quoted so that the shell does not take it for a pattern.
  EXPECT_EQ(complete({"-b", "?Z"}), "\\?Z\n");
  EXPECT_EQ(complete({"\\?a"}), "\\?a\n");
  EXPECT_EQ(complete({"'?Z"}), "'?Z\n");
  // Numbers come before their mnemonic; runs of commands keep their head.
  EXPECT_EQ(complete({"12"}), "12KL\n12SW\n");
  EXPECT_EQ(complete({"PL", "?AP"}), "\\?APN\n\\?APF\n\\?APL\n");
  EXPECT_EQ(complete({"-H", "h", "--", "C"}), "CO\n");
  EXPECT_EQ(complete({"xy"}), "");
}

}  // namespace
