// The driver's parameters in the registry: show, set and clear one parameter
// in the global string ("DriverParameter") or an adapter's string
// ("DriverParameter" + N), and the program's fatal internal-error report.
#pragma once

#include <string_view>

#include "paramutil/parameter_table.h"
#include "paramutil/session.h"

namespace kvx::paramutil {

/// Printed by every write when the driver's service key cannot be opened.
inline constexpr const char* not_installed_message = "\n<error> Device Driver kvxwdd is not installed.\n";

/// Prints "<error> internal error. ( site : value )" and ends the program
/// with exit status -1.
[[noreturn]] void report_internal_error(session& s, int site, int value);

/// Prints the parameter's current value in the scope, or that it is not set.
/// A stored Connection Type, Link Speed or Max Transfer Size outside its listed
/// values ends the program (sites 12, 13, 14); `parameter` outside 1 to 10
/// ends it with site 18.
void show_current_value(session& s, int parameter, scope where);

/// Stores `typed` as the parameter's value text: its old entry goes, the new
/// one is appended. Prints the not-installed message and writes nothing when
/// the driver is not installed.
void set_parameter(session& s, int parameter, scope where, std::string_view typed);

/// Removes the parameter's entry; the string is written back even when it
/// had none (so a missing value becomes an empty one). Writes nothing when the
/// Device key does not exist.
void clear_parameter(session& s, int parameter, scope where);

}  // namespace kvx::paramutil
