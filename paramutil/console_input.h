// The one line reader and the one input validator that every dialog of
// hbautil uses. The prompt kind selects both the menu text (menu_text.h) and
// the rule applied to the line.
#pragma once

#include <cstddef>

#include "paramutil/parameter_table.h"
#include "paramutil/session.h"

namespace kvx::paramutil {

inline constexpr int kind_main_menu = 91;
inline constexpr int kind_parameter_list_global = 92;
inline constexpr int kind_parameter_list_adapter = 93;
inline constexpr int kind_set_parameters_menu = 94;
inline constexpr int kind_modify_menu = 95;
inline constexpr int kind_adapter_number = 96;
inline constexpr int kind_value_global = 256;   // + parameter number
inline constexpr int kind_value_adapter = 512;  // + parameter number

inline constexpr int value_kind(int parameter, scope where) {
  return (where.global() ? kind_value_global : kind_value_adapter) + parameter;
}

/// Validator results besides an accepted number (0 or more).
inline constexpr int result_invalid = -1;
inline constexpr int result_clear = -2;   // the Z answer
inline constexpr int result_cancel = -4;  // the X answer

/// Menu-style value dialogs answer these accepted numbers.
inline constexpr int choice_clear = 88;
inline constexpr int choice_cancel = 99;

/// What an invalid line gets before the question comes again.
inline constexpr const char* retry_message = ">>> please re-try.\n";

/// An accepted value line is handed on in a copy of this many characters at
/// most; value lines longer than that are refused rather than cut.
inline constexpr std::size_t max_value_length = 7;

/// Flushes the console output, then reads one line into s.line. A CR before
/// the line end is dropped. At the end of input (or a read error) before any
/// character of a line, prints a line end and ends the program with
/// exit_end_of_input.
void read_line(session& s);

/// Checks s.line against the kind's rule: the accepted number, or
/// result_invalid, result_clear or result_cancel. An empty or overlong line is
/// invalid for every kind. A kind that has no rule ends the program (site 11).
[[nodiscard]] int validate_input(session& s, int kind);

}  // namespace kvx::paramutil
