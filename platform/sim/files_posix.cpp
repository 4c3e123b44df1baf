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
