// The history file's place in the user's state folder, and making it.
#include "tools/vbdctl/history_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vbdctl {

namespace {

// Makes every missing folder of path with mode 0700; folders that exist are
// left as they are. True when path is a folder afterwards.
bool make_folders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string history_file_path() {
  std::string base;
  const char* state = getenv("XDG_STATE_HOME");
  const char* home = getenv("HOME");
  // A relative XDG_STATE_HOME is invalid and ignored.
  if (state != nullptr && state[0] == '/') {
    base = state;
  } else if (home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.local/state";
  } else {
    return "";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string folder = base + "/vbdctl";
  if (!make_folders(folder)) return "";
  const std::string path = folder + "/history";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd == -1) return "";
  close(fd);
  return path;
}

}  // namespace vbdctl
