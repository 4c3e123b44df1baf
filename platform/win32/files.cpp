#include "platform/files.h"

namespace kvx::platform {

std::string native_path(const char* windows_path) { return windows_path != nullptr ? windows_path : ""; }

}  // namespace kvx::platform

namespace kvx::platform {

bool seek_file(std::FILE* file, std::int64_t offset, int origin) { return _fseeki64(file, offset, origin) == 0; }

std::int64_t tell_file(std::FILE* file) { return _ftelli64(file); }

}  // namespace kvx::platform
