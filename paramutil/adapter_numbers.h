// Adapter numbers 0 to 31 bound to world wide port names: values "Adapter" + N
// under the Device key holding the 16-digit lower-case WWPN text. The
// per-adapter parameters are stored under these numbers.
#pragma once

#include <string_view>

#include "paramutil/session.h"

namespace kvx::paramutil {

inline constexpr int adapter_cancelled = -4;

/// The header and one line per mapped number, ascending.
void list_adapter_numbers(session& s);

/// True when "Adapter" + number can be queried.
[[nodiscard]] bool adapter_number_exists(session& s, int number);

/// True when a number other than `number` is mapped to exactly `wwpn`.
[[nodiscard]] bool wwpn_in_use(session& s, int number, std::string_view wwpn);

/// Maps the number to the text (overwriting its mapping); prints the
/// not-installed message and writes nothing when the driver is not installed.
void set_adapter_number(session& s, int number, std::string_view wwpn);

/// Removes the mapping and the number's parameter string; silent when either
/// is missing.
void delete_adapter_number(session& s, int number);

/// The text as stored: 16 characters, upper-case A-F folded to lower case,
/// each a digit or a-f. False (and `out` unspecified) otherwise.
[[nodiscard]] bool fold_wwpn(std::string_view typed, char (&out)[17]);

/// The interactive flows; each returns to the menu that started it.
void display_adapter_numbers(session& s);
void set_adapter_numbers_flow(session& s);
void delete_adapter_numbers_flow(session& s);

/// Asks until a mapped number is typed (given back) or X (adapter_cancelled).
[[nodiscard]] int select_mapped_adapter(session& s);

}  // namespace kvx::paramutil
