// Tests of whole-file loading: sizes, the banner, binary content, failures.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/xml/xml_test_util.h"

namespace {

class XmlFile : public testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/vbd_xml_file_XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    for (const std::string& p : created_) unlink(p.c_str());
    rmdir(dir_.c_str());
  }
  std::string write(const char* name, const std::string& bytes) {
    std::string path = dir_ + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    created_.push_back(path);
    return path;
  }
  static cg_file* open_file(const std::string& path) {
    cg_file* file = cg_file_new();
    cg_file_set_name(file, path.c_str());
    return file;
  }

  std::string dir_;
  std::vector<std::string> created_;
};

TEST_F(XmlFile, LoadPrintsTheWholeTextOnceUnderTheBanner) {
  std::string text;
  while (text.size() < 1024 + 1024 + 952) text += "<a>0123456789</a>\n";
  text.resize(1024 + 1024 + 952);
  cg_file* file = open_file(write("description.xml", text));
  EXPECT_EQ(cg_file_exists(file), 1);
  EXPECT_EQ(cg_file_get_length(file), 3000);
  testing::internal::CaptureStdout();
  ASSERT_EQ(cg_file_load(file), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n\n[Kesto log] ------------ description.xml  read from "
            "<libvbdpserver.a>-------------\n\n" +
                text + "\n ");
  EXPECT_EQ(std::string(cg_file_get_content(file)), text);
  cg_file_delete(file);
}

TEST_F(XmlFile, LoadWithLengthKeepsBinaryBytesSilently) {
  const std::string bytes("\x89PNG\0\r\n\x1a\0\0", 10);
  cg_file* file = open_file(write("icon.png", bytes));
  long length = -1;
  testing::internal::CaptureStdout();
  ASSERT_EQ(cg_file_load_with_length(file, &length), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(length, 10);
  EXPECT_EQ(std::string(cg_file_get_content(file), 10), bytes);
  EXPECT_EQ(cg_file_get_content(file)[10], '\0');
  cg_file_delete(file);
}

TEST_F(XmlFile, FailuresReturnZeroQuietly) {
  testing::internal::CaptureStdout();
  cg_file* empty = open_file(write("empty.xml", ""));
  EXPECT_EQ(cg_file_load(empty), 0);
  EXPECT_EQ(cg_file_get_content(empty), nullptr);

  cg_file* missing = open_file(dir_ + "/missing.xml");
  long length = -1;
  EXPECT_EQ(cg_file_exists(missing), 0);
  EXPECT_EQ(cg_file_get_length(missing), 0);
  EXPECT_EQ(cg_file_load_with_length(missing, &length), 0);
  EXPECT_EQ(length, 0);

  // A directory has a size but cannot be read: not a successful load.
  cg_file* directory = open_file(dir_);
  EXPECT_EQ(cg_file_load(directory), 0);
  EXPECT_EQ(std::string(cg_file_get_content(directory)), "");

  cg_file* unnamed = cg_file_new();
  EXPECT_EQ(cg_file_load(unnamed), 0);
  EXPECT_EQ(cg_file_load(nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  for (cg_file* f : {empty, missing, directory, unnamed}) cg_file_delete(f);
}

}  // namespace
