// What every part of hbautil works with: the registry it edits, the console
// it talks through, and the last line read. One session per run; nothing else
// lives between dialogs.
#pragma once

#include <cstddef>
#include <cstdio>

namespace kvx::platform {
class registry;
}

namespace kvx::paramutil {

/// The last line read from the console. The line end is not stored. A line
/// longer than `max_length` characters keeps only its first `max_length`
/// characters here and is marked `overlong`; the rest of it is read and
/// discarded, never left for the next read.
struct input_line {
  static constexpr std::size_t capacity = 32;
  static constexpr std::size_t max_length = capacity - 1;
  char text[capacity] = {};
  std::size_t length = 0;
  bool overlong = false;
};

struct session {
  platform::registry& reg;
  std::FILE* in;
  std::FILE* out;
  input_line line;
};

/// Exit statuses of the program.
inline constexpr int exit_done = 0;             // Exit chosen in the main menu
inline constexpr int exit_end_of_input = 1;     // standard input ended before Exit
inline constexpr int exit_internal_error = -1;  // report_internal_error

}  // namespace kvx::paramutil
