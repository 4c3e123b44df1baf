#include <errno.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/files.h"

namespace kvx::platform {

bool seek_file(std::FILE* file, std::int64_t offset, int origin) {
  return fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

std::int64_t tell_file(std::FILE* file) { return static_cast<std::int64_t>(ftello(file)); }

bool flush_file_to_disk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  const int fd = fileno(file);
  if (fd < 0) return false;
  int rc = 0;
  do {
    rc = ::fdatasync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace kvx::platform

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

namespace kvx::platform {

unique_file open_file_shared_for_reading(const char* windows_path, shared_open& result) {
  // POSIX files have no share modes: an open for reading never stands in a writer's way.
  unique_file file = open_file(windows_path, "rb");
  if (file) {
    result = shared_open::opened;
  } else {
    result = errno == ENOENT || errno == ENOTDIR ? shared_open::missing : shared_open::refused;
  }
  return file;
}

bool list_folder_files(const char* windows_path, std::vector<std::string>& names, bool& missing) {
  const std::string path = native_path(windows_path);
  missing = false;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    missing = errno == ENOENT || errno == ENOTDIR;
    return false;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, ::closedir);
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::stat((path + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
  }
  return true;
}

}  // namespace kvx::platform
