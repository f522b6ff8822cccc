#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "c_api_ext/handles.h"
#include "text/utf8.h"

namespace quorvex::ext {
namespace {

// Per thread, as the header promises; a plain std::string keeps the storage
// between calls, so clearing it allocates nothing.
thread_local std::string last_error;

}  // namespace

void set_error(const std::string& message) { last_error = message; }
void clear_error() noexcept { last_error.clear(); }

std::string utf8_argument(const char* s, const char* what) {
  if (s == nullptr) fail(QVX_ERR_ARGUMENT, std::string(what) + " is NULL");
  const std::string_view bytes(s, std::strlen(s));
  if (!is_valid_utf8(bytes)) fail(QVX_ERR_ARGUMENT, std::string(what) + " is not valid UTF-8");
  return std::string(bytes);
}

char* to_c_string(const std::string& text) {
  // No text this library makes holds a NUL byte: names cannot, being C strings.
  char* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out == nullptr) throw std::bad_alloc();
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

}  // namespace quorvex::ext

extern "C" {

QVX_API const char* qvx_last_error(void) noexcept { return quorvex::ext::last_error.c_str(); }

QVX_API uint32_t qvx_version(void) noexcept { return QVX_VERSION_NUMBER; }

QVX_API void qvx_string_free(char* s) noexcept { std::free(s); }

}  // extern "C"
