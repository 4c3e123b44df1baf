#include <sys/types.h>

#include "platform/files.h"

namespace kvx::platform {

bool seek_file(std::FILE* file, std::int64_t offset, int origin) {
  return fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

std::int64_t tell_file(std::FILE* file) { return static_cast<std::int64_t>(ftello(file)); }

}  // namespace kvx::platform
