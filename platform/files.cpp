#include "platform/files.h"

namespace kvx::platform {

unique_file open_file(const char* windows_path, const char* mode) {
  const std::string path = native_path(windows_path);
  return unique_file(std::fopen(path.c_str(), mode));
}

}  // namespace kvx::platform
