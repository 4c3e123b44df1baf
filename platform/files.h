// Files named by Windows paths. The suite's configuration names directories
// the Windows way ("C:\\Program Files\\..."); on Windows such a path is used as
// it is, on the simulated host it is mapped below the host root (see
// native_path). Files the service writes are opened in binary mode and carry
// their CR LF line ends explicitly, so they are byte-identical on both.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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

/// How open_file_shared_for_reading ended.
enum class shared_open { opened, missing, refused };

/// Opens an existing file for reading in binary mode without standing in
/// anyone's way: on Windows with every share mode (read, write and delete),
/// so that a writer can open, write, extend or replace the file while it is
/// open. `result` says whether it opened, does not exist, or was refused.
unique_file open_file_shared_for_reading(const char* windows_path, shared_open& result);

/// The names of the plain files in a folder (no folders, no "." or ".."), in
/// no particular order. false when the folder cannot be read; `missing` then
/// says whether it does not exist.
[[nodiscard]] bool list_folder_files(const char* windows_path, std::vector<std::string>& names, bool& missing);

/// fseek and ftell with 64-bit offsets on every host (long is 32 bits on
/// Windows). seek_file gives false on failure; tell_file gives -1.
[[nodiscard]] bool seek_file(std::FILE* file, std::int64_t offset, int origin);
[[nodiscard]] std::int64_t tell_file(std::FILE* file);

/// Everything written to `file` so far on stable storage: the stream's buffer
/// handed to the system, then the system's cache of the file written out with
/// what is needed to read it back (FlushFileBuffers on Windows, fdatasync on
/// the simulated host). false when either step fails.
[[nodiscard]] bool flush_file_to_disk(std::FILE* file);

}  // namespace kvx::platform
