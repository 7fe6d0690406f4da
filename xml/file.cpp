// Whole-file loading: the description text before it is parsed and the
// files served over HTTP with their length.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "xml/xml.h"

namespace {

constexpr size_t kReadBlock = 1024;

// Reads the file into a fresh content buffer. Returns the bytes read, or -1
// on failure with errno saying why (ENODATA for an empty file); *size
// receives the size from the file's status.
long read_whole(cg_file* file, long* size) {
  *size = 0;
  std::free(file->content);
  file->content = nullptr;
  const char* path = cg_string_value(&file->path);
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }

  struct stat st {};
  if (stat(path, &st) != 0) return -1;
  if (st.st_size <= 0) {
    errno = ENODATA;
    return -1;
  }
  *size = static_cast<long>(st.st_size);
  const size_t n = static_cast<size_t>(st.st_size);

  file->content = static_cast<char*>(std::malloc(n + 1));
  if (file->content == nullptr) return -1;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    file->content[0] = '\0';
    return -1;
  }
  size_t got = 0;
  bool failed = false;
  while (got < n) {
    size_t want = n - got < kReadBlock ? n - got : kReadBlock;
    ssize_t r = read(fd, file->content + got, want);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      // End of a file that shrank since its status was read, or a read
      // error (a directory, a device fault), which must not pass as a load.
      failed = r < 0;
      break;
    }
  }
  int read_errno = errno;
  close(fd);
  errno = read_errno;
  file->content[failed ? 0 : got] = '\0';
  return failed ? -1 : static_cast<long>(got);
}

}  // namespace

cg_file* cg_file_new() { return vbd_runtime::record_new<cg_file>(false); }

void cg_file_delete(cg_file* file) {
  if (file == nullptr) return;
  cg_list_remove(&file->node);
  cg_string_clear(&file->path);
  std::free(file->content);
  std::free(file);
}

void cg_file_set_name(cg_file* file, const char* path) {
  if (file != nullptr) cg_string_set(&file->path, path);
}

char* cg_file_get_name(const cg_file* file) {
  return file ? cg_string_value(&file->path) : nullptr;
}

int cg_file_exists(const cg_file* file) {
  const char* path = cg_file_get_name(file);
  if (path == nullptr) return 0;
  std::FILE* stream = std::fopen(path, "r");
  if (stream == nullptr) return 0;
  std::fclose(stream);
  return 1;
}

long cg_file_get_length(const cg_file* file) {
  const char* path = cg_file_get_name(file);
  struct stat st {};
  if (path == nullptr || stat(path, &st) != 0) return 0;
  return static_cast<long>(st.st_size);
}

int cg_file_load(cg_file* file) {
  if (file == nullptr) return 0;
  long size = 0;
  if (read_whole(file, &size) < 0) return 0;
  std::printf(
      "\n\n[Kesto log] ------------ description.xml  read from "
      "<libvbdpserver.a>-------------\n\n%s\n ",
      file->content);
  return 1;
}

int cg_file_load_with_length(cg_file* file, long* length) {
  long size = 0;
  long got = file ? read_whole(file, &size) : -1;
  if (length != nullptr) *length = got < 0 ? size : got;
  return got >= 0;
}

char* cg_file_get_content(const cg_file* file) { return file ? file->content : nullptr; }
