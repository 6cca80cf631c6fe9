#include "ivf_rabitq/status.h"

#include "platform/fs.h"

namespace nimbrel {

std::string OsErrorText(int err) {
  return platform::ErrorDescription(err) + " (os error " + std::to_string(err) + ")";
}

Status Status::FromErrno(int err, const std::string& what) {
  std::string text = OsErrorText(err);
  if (!what.empty()) text = what + ": " + text;
  return Status(err == ENOENT ? Code::kNotFound : Code::kIoError, std::move(text), err);
}

}  // namespace nimbrel
