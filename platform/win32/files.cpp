#include "platform/files.h"

namespace kvx::platform {

std::string native_path(const char* windows_path) { return windows_path != nullptr ? windows_path : ""; }

}  // namespace kvx::platform
