// Runs tshark on a capture with the dissector loaded and splits its field
// output (one line per packet, tab between fields, "|" between the
// occurrences of one field).
#include "tests/tools/wireshark/tshark_run.h"

#include <sys/wait.h>

#include "tests/support/netns.h"
#include "tests/support/process.h"

namespace vbd_ws_test {

namespace {

constexpr int kTsharkWaitMs = 120000;  // a loaded CI machine starts tshark slowly

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

bool have_program(const std::string& name) {
  return vbd_test::run_quiet("command -v " + name + " >/dev/null 2>&1") == 0;
}

std::string dissector_path() { return VBD_DISSECTOR; }

std::string run_tshark(const std::vector<std::string>& args, int* status) {
  std::vector<std::string> argv{"tshark", "-X", "lua_script:" + dissector_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  auto p = vbd_test::process::start(argv);
  *status = -1;
  if (!p) return "";
  p->close_stdin();
  int raw = 0;
  if (p->wait_exit(kTsharkWaitMs, &raw) && WIFEXITED(raw)) *status = WEXITSTATUS(raw);
  return p->out();
}

const std::vector<std::string>& packet_row::operator[](const std::string& name) const {
  static const std::vector<std::string> none;
  auto it = fields.find(name);
  return it == fields.end() ? none : it->second;
}

bool packet_row::has(const std::string& name, const std::string& value) const {
  for (const auto& v : (*this)[name]) {
    if (v == value) return true;
  }
  return false;
}

std::string read_fields(const std::string& capture, const std::vector<std::string>& fields,
                        const std::vector<std::string>& extra, std::vector<packet_row>* rows) {
  std::vector<std::string> args{"-r", capture, "-T", "fields", "-E", "separator=/t", "-E", "aggregator=|",
                                "-E", "occurrence=a"};
  args.insert(args.end(), extra.begin(), extra.end());
  for (const auto& f : fields) {
    args.push_back("-e");
    args.push_back(f);
  }
  int status = 0;
  std::string out = run_tshark(args, &status);
  if (status != 0) return "tshark failed (status " + std::to_string(status) + ")";
  rows->clear();
  for (const auto& line : split(out, '\n')) {
    if (line.empty()) continue;
    std::vector<std::string> values = split(line, '\t');
    if (values.size() != fields.size()) return "unexpected tshark line: " + line;
    packet_row row;
    for (size_t i = 0; i < fields.size(); ++i) {
      if (!values[i].empty()) row.fields[fields[i]] = split(values[i], '|');
    }
    rows->push_back(std::move(row));
  }
  return "";
}

}  // namespace vbd_ws_test
