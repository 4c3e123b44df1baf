#include "platform/console.h"

#include <io.h>

#include <cstdlib>

namespace kvx::platform {

void clear_console(std::FILE* out) {
  std::fflush(out);
  // Redirected, "cls" would write a form feed into the file or pipe.
  if (::_isatty(::_fileno(out)) == 0) return;
  [[maybe_unused]] const int rc = std::system("cls");
}

}  // namespace kvx::platform
