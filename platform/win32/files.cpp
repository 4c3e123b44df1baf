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

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace kvx::platform {

unique_file open_file_shared_for_reading(const char* windows_path, shared_open& result) {
  HANDLE handle = ::CreateFileA(windows_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    result =
        error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? shared_open::missing : shared_open::refused;
    return nullptr;
  }
  // The stream takes over the descriptor, the descriptor the handle.
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd == -1) {
    ::CloseHandle(handle);
    result = shared_open::refused;
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, "rb");
  if (file == nullptr) {
    ::_close(fd);
    result = shared_open::refused;
    return nullptr;
  }
  result = shared_open::opened;
  return unique_file(file);
}

bool list_folder_files(const char* windows_path, std::vector<std::string>& names, bool& missing) {
  std::string pattern = windows_path != nullptr ? windows_path : "";
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  missing = false;
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // An empty folder still has "." and ".."; not finding them means no folder.
    missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return false;
  }
  struct search_closer {
    void operator()(void* h) const noexcept { ::FindClose(h); }
  };
  const std::unique_ptr<void, search_closer> owner(search);
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.emplace_back(found.cFileName);
  } while (::FindNextFileA(search, &found) != 0);
  return true;
}

}  // namespace kvx::platform
