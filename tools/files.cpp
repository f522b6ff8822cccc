#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace quorvex::cli {
namespace {

std::string shown(const std::string& path) { return path == "-" ? "<stdin>" : path; }

std::string reason() { return std::strerror(errno); }

std::string folder_of(const std::string& path) {
  const std::string parent = std::filesystem::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

}  // namespace

std::string read_text(const std::string& path) {
  const bool is_stdin = path == "-";
  std::FILE* f = is_stdin ? stdin : std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw FileError("cannot read \"" + shown(path) + "\": " + reason());
  std::string content;
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
    const char* nul = static_cast<const char*>(std::memchr(buf, '\0', got));
    content.append(buf, nul == nullptr ? got : static_cast<size_t>(nul - buf));
    if (nul != nullptr) {
      if (!is_stdin) std::fclose(f);
      const size_t line = 1 + static_cast<size_t>(std::count(content.begin(), content.end(), '\n'));
      char num[24];
      const auto res = std::to_chars(num, num + sizeof num, line);
      throw FileError(shown(path) + ":" + std::string(num, res.ptr) +
                      ": a NUL byte: this is not a text file");
    }
  }
  const bool failed = std::ferror(f) != 0;
  const int saved = errno;
  if (!is_stdin) std::fclose(f);
  if (failed) {
    errno = saved;
    throw FileError("cannot read \"" + shown(path) + "\": " + reason());
  }
  return content;
}

void check_writable(const std::string& path, const std::string& what) {
  const std::string prefix = "cannot write " + what + " \"" + path + "\": ";
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw FileError(prefix + "it is a folder");
    if (::access(path.c_str(), W_OK) != 0) throw FileError(prefix + reason());
  }
  const std::string folder = folder_of(path);
  if (::stat(folder.c_str(), &st) != 0) throw FileError(prefix + "its folder: " + reason());
  if (!S_ISDIR(st.st_mode)) throw FileError(prefix + "\"" + folder + "\" is not a folder");
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    throw FileError(prefix + "its folder: " + reason());
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void write_atomically(const std::string& path, const std::string& content,
                      const std::string& what) {
  const std::string prefix = "cannot write " + what + " \"" + path + "\": ";
  const std::string name = std::filesystem::path(path).filename().string();
  std::string temp = folder_of(path) + "/." + name + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) throw FileError(prefix + reason());
  // A replaced file keeps its permissions; a new one gets the usual ones.
  struct stat st;
  mode_t mode;
  if (::stat(path.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  bool ok = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; ok && done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  const int saved = errno;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return;
  const std::string why = ok ? reason() : std::strerror(saved);
  ::unlink(temp.c_str());
  throw FileError(prefix + why);
}

}  // namespace quorvex::cli
