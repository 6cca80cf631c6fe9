#include <cstring>

#include "platform/fs.h"

namespace nimbrel::platform {

std::string ErrorDescription(int err) {
  // strerror_r comes in two flavours (GNU returns a pointer, XSI fills the
  // buffer and returns 0); the overload pair accepts either.
  struct Pick {
    static const char* from(int rc, const char* buf) { return rc == 0 ? buf : nullptr; }
    static const char* from(const char* text, const char*) { return text; }
  };
  char buf[256] = {0};
  const char* text = Pick::from(strerror_r(err, buf, sizeof buf), buf);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(err);
  return text;
}

}  // namespace nimbrel::platform
