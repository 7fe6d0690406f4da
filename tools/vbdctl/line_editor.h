// vbdctl's interactive prompt on a terminal: line editing, a history kept
// across runs and completion of command mnemonics (libedit's readline
// interface, fed one character at a time from vbdctl's own poll loop).
// Output that comes while a line is half typed goes above the prompt, and
// the prompt and the half-typed line are drawn again after it. Built
// without libedit (VBD_LINE_EDITING off) it is not available, and vbdctl
// keeps its plain prompt.
#pragma once

#include <cstdio>
#include <deque>
#include <string>

namespace vbdctl {

class line_editor {
 public:
  // Whether this build has line editing.
  static bool available();

  // history_path: the history file ("" for none); its last
  // HISTORY_LINES lines are loaded, and it is rewritten after each line.
  line_editor(const char* prompt, std::string history_path);
  ~line_editor();
  line_editor(const line_editor&) = delete;
  line_editor& operator=(const line_editor&) = delete;

  static constexpr int HISTORY_LINES = 1000;

  // Shows the prompt and reads a line, unless a line is being read.
  void start_line();
  bool reading() const { return reading_; }
  // Standard input is ready (poll's revents for it): takes one character.
  void on_input(short revents);
  // The next finished line, in the order typed; false when there is none.
  bool take_line(std::string* line);
  // The user ended the input (Ctrl-D on an empty line, or the terminal
  // went away).
  bool at_eof() const { return eof_; }

  // Prints text (whole lines) on stream; while a line is being read it goes
  // above the prompt, which is drawn again with the half-typed line.
  void print(FILE* stream, const std::string& text);

 private:
  static void on_line(char* line);
  void finish_line(char* line);

  std::string prompt_;
  std::string history_path_;
  bool reading_ = false;
  bool eof_ = false;
  std::deque<std::string> lines_;
};

}  // namespace vbdctl
