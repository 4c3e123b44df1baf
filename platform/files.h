// Files named by Windows paths. The suite's configuration names directories
// the Windows way ("C:\\Program Files\\..."); on Windows such a path is used as
// it is, on the simulated host it is mapped below the host root (see
// native_path). Files the service writes are opened in binary mode and carry
// their CR LF line ends explicitly, so they are byte-identical on both.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace kvx::platform {

struct file_closer {
  void operator()(std::FILE* f) const noexcept {
    if (f != nullptr) std::fclose(f);
  }
};
using unique_file = std::unique_ptr<std::FILE, file_closer>;

/// The path as the host's C library takes it: unchanged on Windows; on the
/// simulated host "X:\\a\\b" becomes <host root>/drive_x/a/b and every other
/// backslash a slash.
std::string native_path(const char* windows_path);

/// fopen(native_path(path), mode); null on failure, errno as fopen leaves it.
unique_file open_file(const char* windows_path, const char* mode);

}  // namespace kvx::platform
