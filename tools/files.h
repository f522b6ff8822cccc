#pragma once

#include <stdexcept>
#include <string>

namespace quorvex::cli {

// A file that cannot be read or written; the message names it.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file's bytes ("-" is standard input). Stops at the first NUL byte,
// which no text file holds, instead of reading a binary file whole.
std::string read_text(const std::string& path);

// `what` names the file in messages: "cannot write the plot \"x.svg\": ...".
// Throws unless `path` could be written as write_atomically does: a writable
// character device or FIFO, or a regular file (or none yet) in a writable
// folder, past any symbolic links; never a folder, a block device or a
// socket. Touches nothing.
void check_writable(const std::string& path, const std::string& what);

// Whether both paths name the same existing file.
bool same_file(const std::string& a, const std::string& b);

// Writes `content` to a temporary file beside `path` and renames it into
// place, so `path` holds either its old content or all of the new. A
// symbolic link stays: the file it leads to is replaced (or created).
// Character devices and FIFOs (/dev/null, /dev/stdout, a pipe) are written
// in place instead; folders, block devices and sockets are refused.
void write_atomically(const std::string& path, const std::string& content, const std::string& what);

}  // namespace quorvex::cli
