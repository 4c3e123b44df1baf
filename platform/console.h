// The console window of the interactive tools.
#pragma once

#include <cstdio>

namespace kvx::platform {

/// Flushes `out`, then clears the console window when `out` is one (on
/// Windows through the command interpreter's "cls"). Into a pipe or a file it
/// writes nothing.
void clear_console(std::FILE* out);

}  // namespace kvx::platform
