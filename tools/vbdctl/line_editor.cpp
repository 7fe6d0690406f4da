// The interactive prompt's line editing on libedit's readline interface:
// one line read at a time in callback mode, output printed above it, the
// history file and the mnemonic completion. Without VBD_LINE_EDITING only
// the "not available" answer is built.
#include "tools/vbdctl/line_editor.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#ifdef VBD_LINE_EDITING
#include <editline/readline.h>

#include "tools/vbdctl/ctl_protocol.h"
#endif

namespace vbdctl {

#ifdef VBD_LINE_EDITING

namespace {

// libedit's readline interface has one line reader per process.
line_editor* g_editor = nullptr;

// The completions of the word being typed, handed out one by one.
char* next_completion(const char* text, int state) {
  static std::vector<std::string> found;
  static size_t next = 0;
  if (state == 0) {
    found = complete_word(text);
    next = 0;
  }
  if (next >= found.size()) return nullptr;
  return strdup(found[next++].c_str());
}

char** complete(const char* text, int, int) {
  // Never fall back to file names.
  rl_attempted_completion_over = 1;
  return rl_completion_matches(text, next_completion);
}

char* no_completion(const char*, int) { return nullptr; }

}  // namespace

bool line_editor::available() { return true; }

line_editor::line_editor(const char* prompt, std::string history_path)
    : prompt_(prompt), history_path_(std::move(history_path)) {
  g_editor = this;
  // "vbdctl:" lines of ~/.editrc apply.
  rl_readline_name = "vbdctl";
  rl_attempted_completion_function = complete;
  rl_completion_entry_function = no_completion;
  // A request line is a run of mnemonics: a space would be sent too.
  rl_completion_append_character = '\0';
  rl_basic_word_break_characters = " \t";
  rl_completer_word_break_characters = const_cast<char*>(" \t");
  using_history();
  stifle_history(HISTORY_LINES);
  if (!history_path_.empty()) read_history(history_path_.c_str());
}

line_editor::~line_editor() {
  if (reading_) {
    // Leaves the terminal as it was, on a fresh line.
    rl_callback_handler_remove();
    fputs("\n", stdout);
    fflush(stdout);
  }
  g_editor = nullptr;
}

void line_editor::start_line() {
  if (reading_ || eof_) return;
  reading_ = true;
  rl_callback_handler_install(prompt_.c_str(), on_line);
  fflush(stdout);
}

void line_editor::on_input(short revents) {
  if (!reading_) return;
  int waiting = 0;
  // The terminal hung up, or says it is readable with nothing to read.
  if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ||
      ((revents & POLLIN) != 0 && ioctl(STDIN_FILENO, FIONREAD, &waiting) == 0 && waiting == 0)) {
    finish_line(nullptr);
    return;
  }
  rl_callback_read_char();
}

void line_editor::on_line(char* line) {
  if (g_editor != nullptr) g_editor->finish_line(line);
  free(line);
}

void line_editor::finish_line(char* line) {
  rl_callback_handler_remove();
  reading_ = false;
  if (line == nullptr) {
    eof_ = true;
    fputs("\n", stdout);
    fflush(stdout);
    return;
  }
  lines_.emplace_back(line);
  if (line[0] == '\0') return;
  const HIST_ENTRY* last = history_length > 0 ? history_get(history_base + history_length - 1) : nullptr;
  if (last == nullptr || strcmp(last->line, line) != 0) {
    add_history(line);
    // Written at once: vbdctl often ends by a signal. Failures are not
    // reported; the history is a convenience.
    if (!history_path_.empty()) write_history(history_path_.c_str());
  }
}

bool line_editor::take_line(std::string* line) {
  if (lines_.empty()) return false;
  *line = std::move(lines_.front());
  lines_.pop_front();
  return true;
}

void line_editor::print(FILE* stream, const std::string& text) {
  if (!reading_) {
    fputs(text.c_str(), stream);
    fflush(stream);
    return;
  }
  int rows = 0;
  int columns = 0;
  rl_get_screen_size(&rows, &columns);
  if (columns <= 0) columns = 80;
  const int prompt_width = static_cast<int>(prompt_.size());
  const int at_point = prompt_width + rl_point;
  const int at_end = prompt_width + rl_end;
  // Up to the prompt's first row, which is cleared with all below it.
  fputs("\r", stdout);
  if (at_point / columns > 0) fprintf(stdout, "\033[%dA", at_point / columns);
  fputs("\033[J", stdout);
  fflush(stdout);
  fputs(text.c_str(), stream);
  fflush(stream);
  rl_forced_update_display();
  // The redraw leaves the cursor after the line: back to where the user is
  // editing, when that is on the same row.
  if (at_point != at_end && at_point / columns == at_end / columns) {
    if (at_point % columns == 0) fputs("\r", stdout);
    else fprintf(stdout, "\r\033[%dC", at_point % columns);
  }
  fflush(stdout);
}

#else  // no line editing in this build

bool line_editor::available() { return false; }
line_editor::line_editor(const char* prompt, std::string history_path)
    : prompt_(prompt), history_path_(std::move(history_path)) {}
line_editor::~line_editor() = default;
void line_editor::start_line() {}
void line_editor::on_input(short) {}
void line_editor::on_line(char*) {}
void line_editor::finish_line(char*) {}
bool line_editor::take_line(std::string*) { return false; }
void line_editor::print(FILE* stream, const std::string& text) { fputs(text.c_str(), stream); }

#endif

}  // namespace vbdctl
