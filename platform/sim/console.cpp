#include "platform/console.h"

#include <unistd.h>

namespace kvx::platform {

void clear_console(std::FILE* out) {
  std::fflush(out);
  if (::isatty(::fileno(out)) == 0) return;
  // Cursor home, then erase the whole screen.
  std::fputs("\033[H\033[2J", out);
  std::fflush(out);
}

}  // namespace kvx::platform
