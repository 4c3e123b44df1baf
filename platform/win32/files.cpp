#include "platform/files.h"

#include <io.h>
#include <windows.h>

#include <cstdint>

namespace kvx::platform {

std::string native_path(const char* windows_path) { return windows_path != nullptr ? windows_path : ""; }

bool seek_file(std::FILE* file, std::int64_t offset, int origin) { return _fseeki64(file, offset, origin) == 0; }

std::int64_t tell_file(std::FILE* file) { return _ftelli64(file); }

bool flush_file_to_disk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  const std::intptr_t os_handle = _get_osfhandle(_fileno(file));
  if (os_handle == -1) return false;
  return FlushFileBuffers(reinterpret_cast<HANDLE>(os_handle)) != 0;
}

}  // namespace kvx::platform
