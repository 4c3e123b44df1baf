// The texts hbautil shows: the banner, and the menu or prompt of each prompt
// kind (console_input.h).
#pragma once

#include "paramutil/session.h"

namespace kvx::paramutil {

/// The four 60-column banner lines.
void print_banner(session& s);

/// "\n", then the kind's menu or prompt. A kind without a text ends the
/// program (site 10); the adapter number prompt has none of its own.
void print_menu(session& s, int kind);

}  // namespace kvx::paramutil
