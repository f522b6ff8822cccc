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

namespace {

// Where a replacement must land for `path` to show it: the final target of
// the symbolic links it names (the target need not exist yet), so that the
// links stay. The folders on the way are left as they are: rename follows them.
std::string link_target(const std::string& path, const std::string& prefix) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    std::string to(std::max<size_t>(static_cast<size_t>(st.st_size), 4096) + 1, '\0');
    const ssize_t n = ::readlink(p.c_str(), to.data(), to.size());
    if (n < 0 || static_cast<size_t>(n) == to.size()) return p;
    to.resize(static_cast<size_t>(n));
    p = to.starts_with('/') ? to : folder_of(p) + "/" + to;
  }
  errno = ELOOP;
  throw FileError(prefix + reason());
}

enum class Kind { Missing, Regular, Stream, Folder, Other };

// Character devices and FIFOs take the bytes in place; regular files are
// replaced whole; anything else is refused.
Kind kind_of(const std::string& path, struct stat& st) {
  if (::stat(path.c_str(), &st) != 0) return Kind::Missing;
  if (S_ISREG(st.st_mode)) return Kind::Regular;
  if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return Kind::Stream;
  if (S_ISDIR(st.st_mode)) return Kind::Folder;
  return Kind::Other;
}

std::string refusal(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return "it is a folder";
  if (S_ISBLK(st.st_mode)) return "it is a block device";
  if (S_ISSOCK(st.st_mode)) return "it is a socket";
  return "it is not a regular file";
}

bool write_all(int fd, const std::string& content) {
  for (size_t done = 0; done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void write_in_place(const std::string& path, const std::string& content,
                    const std::string& prefix) {
  int fd;
  do fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) throw FileError(prefix + reason());
  const bool ok = write_all(fd, content);
  const int saved = errno;
  if (::close(fd) != 0 || !ok) throw FileError(prefix + std::strerror(ok ? errno : saved));
}

void replace_file(const std::string& path, const std::string& content, const std::string& prefix) {
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
  bool ok = ::fchmod(fd, mode) == 0 && write_all(fd, content) && ::fsync(fd) == 0;
  const int saved = errno;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return;
  const std::string why = ok ? reason() : std::strerror(saved);
  ::unlink(temp.c_str());
  throw FileError(prefix + why);
}

}  // namespace

void check_writable(const std::string& path, const std::string& what) {
  const std::string prefix = "cannot write " + what + " \"" + path + "\": ";
  struct stat st;
  switch (kind_of(path, st)) {
    case Kind::Folder:
    case Kind::Other:
      throw FileError(prefix + refusal(st));
    case Kind::Stream:
      if (::access(path.c_str(), W_OK) != 0) throw FileError(prefix + reason());
      return;
    case Kind::Regular:
      if (::access(path.c_str(), W_OK) != 0) throw FileError(prefix + reason());
      break;
    case Kind::Missing:
      break;
  }
  const std::string folder = folder_of(link_target(path, prefix));
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
  struct stat st;
  switch (kind_of(path, st)) {
    case Kind::Folder:
    case Kind::Other:
      throw FileError(prefix + refusal(st));
    case Kind::Stream:
      return write_in_place(path, content, prefix);
    case Kind::Regular:
    case Kind::Missing:
      return replace_file(link_target(path, prefix), content, prefix);
  }
}

}  // namespace quorvex::cli
