// The menu tree of hbautil: main menu, Modify HBA Adapter Number, Set HBA
// Parameters, the parameter list of a scope and its value dialogs.
#pragma once

#include "paramutil/parameter_table.h"
#include "paramutil/session.h"

namespace kvx::paramutil {

/// "\nEnter number => " until the line is valid for the kind; gives the
/// validator's result (never result_invalid).
[[nodiscard]] int choice_prompt(session& s, int kind);

/// The program's whole run; gives the exit status after Exit.
[[nodiscard]] int main_menu(session& s);
void modify_menu(session& s);
void set_parameters_menu(session& s);
void parameter_list_menu(session& s, scope where);
/// Menu-style value dialog (Connection Type, Link Speed, Max Transfer Size, MSCS Mode).
void choose_value(session& s, int parameter, scope where);
/// Prompt-style value dialog (parameters 4 to 9).
void enter_value(session& s, int parameter, scope where);

}  // namespace kvx::paramutil
