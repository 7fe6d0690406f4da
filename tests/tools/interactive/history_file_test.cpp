// Where the interactive history goes: the state folder from the
// environment, folders made private, and no history when there is no place.
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/netns.h"
#include "tools/vbdctl/history_file.h"

namespace {

// Sets or clears an environment variable for one test.
class scoped_env {
 public:
  scoped_env(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~scoped_env() {
    if (had_) setenv(name_, old_.c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

mode_t mode_of(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(HistoryFile, GoesToTheStateFolderWhichIsMadePrivate) {
  std::string dir = vbd_test::make_work_dir();
  ASSERT_NE(dir, "");
  {
    scoped_env state("XDG_STATE_HOME", (dir + "/state/").c_str());
    EXPECT_EQ(vbdctl::history_file_path(), dir + "/state/vbdctl/history");
    EXPECT_EQ(mode_of(dir + "/state"), 0700u);
    EXPECT_EQ(mode_of(dir + "/state/vbdctl"), 0700u);
    EXPECT_EQ(mode_of(dir + "/state/vbdctl/history"), 0600u);
  }
  {
    // Without XDG_STATE_HOME, or with a relative one, it is under HOME.
    scoped_env state("XDG_STATE_HOME", "relative/state");
    scoped_env home("HOME", dir.c_str());
    EXPECT_EQ(vbdctl::history_file_path(), dir + "/.local/state/vbdctl/history");
    EXPECT_EQ(mode_of(dir + "/.local/state/vbdctl"), 0700u);
  }
  std::filesystem::remove_all(dir);
}

TEST(HistoryFile, NoneWithoutAPlaceForIt) {
  std::string dir = vbd_test::make_work_dir();
  ASSERT_NE(dir, "");
  {
    scoped_env state("XDG_STATE_HOME", nullptr);
    scoped_env home("HOME", nullptr);
    EXPECT_EQ(vbdctl::history_file_path(), "");
  }
  {
    // A file where the folder should be.
    std::ofstream(dir + "/file") << "x";
    scoped_env state("XDG_STATE_HOME", (dir + "/file").c_str());
    EXPECT_EQ(vbdctl::history_file_path(), "");
    std::filesystem::create_directories(dir + "/s/vbdctl/history");  // a folder where the file should be
    scoped_env other("XDG_STATE_HOME", (dir + "/s").c_str());
    EXPECT_EQ(vbdctl::history_file_path(), "");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
