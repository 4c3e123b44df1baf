#include "paramutil/dialogs.h"

#include <cstdio>
#include <string_view>

#include "paramutil/adapter_numbers.h"
#include "paramutil/console_input.h"
#include "paramutil/menu_text.h"
#include "paramutil/parameter_store.h"
#include "platform/console.h"

namespace kvx::paramutil {
namespace {

inline constexpr int site_main_menu = 1;
inline constexpr int site_sub_menu = 3;
inline constexpr int site_parameter_dialog = 4;

std::string_view typed_line(const session& s) { return {s.line.text, s.line.length}; }

}  // namespace

int choice_prompt(session& s, int kind) {
  for (;;) {
    std::fputs("\nEnter number => ", s.out);
    read_line(s);
    const int result = validate_input(s, kind);
    if (result != result_invalid) return result;
    std::fputs(retry_message, s.out);
  }
}

int main_menu(session& s) {
  for (;;) {
    platform::clear_console(s.out);
    print_banner(s);
    print_menu(s, kind_main_menu);
    const int choice = choice_prompt(s, kind_main_menu);
    switch (choice) {
      case 1:
        display_adapter_numbers(s);
        break;
      case 2:
        modify_menu(s);
        break;
      case 3:
        set_parameters_menu(s);
        break;
      case 99:
        std::fputs("\nIt is necessary to reboot for validating changed parameters.\n", s.out);
        std::fflush(s.out);
        return exit_done;
      default:
        report_internal_error(s, site_main_menu, choice);
    }
  }
}

void modify_menu(session& s) {
  for (;;) {
    print_menu(s, kind_modify_menu);
    const int choice = choice_prompt(s, kind_modify_menu);
    switch (choice) {
      case 1:
        set_adapter_numbers_flow(s);
        break;
      case 2:
        delete_adapter_numbers_flow(s);
        break;
      case 99:
        return;
      default:
        report_internal_error(s, site_sub_menu, choice);
    }
  }
}

void set_parameters_menu(session& s) {
  for (;;) {
    print_menu(s, kind_set_parameters_menu);
    const int choice = choice_prompt(s, kind_set_parameters_menu);
    switch (choice) {
      case 1:
        parameter_list_menu(s, scope{});
        break;
      case 2: {
        std::fputs("\n", s.out);
        list_adapter_numbers(s);
        const int adapter = select_mapped_adapter(s);
        if (adapter != adapter_cancelled) parameter_list_menu(s, scope{adapter});
        break;
      }
      case 99:
        return;
      default:
        report_internal_error(s, site_sub_menu, choice);
    }
  }
}

void parameter_list_menu(session& s, scope where) {
  const int kind = where.global() ? kind_parameter_list_global : kind_parameter_list_adapter;
  for (;;) {
    print_menu(s, kind);
    const int parameter = choice_prompt(s, kind);
    if (parameter == return_row) return;
    show_current_value(s, parameter, where);
    if (parameter == param_connection_type || parameter == param_link_speed || parameter == param_max_transfer ||
        parameter == param_mscs_mode) {
      choose_value(s, parameter, where);
    } else if (parameter >= param_link_down && parameter <= param_sg_list) {
      enter_value(s, parameter, where);
    } else {
      report_internal_error(s, site_parameter_dialog, value_kind(parameter, where));
    }
  }
}

void choose_value(session& s, int parameter, scope where) {
  const int kind = value_kind(parameter, where);
  print_menu(s, kind);
  const int choice = choice_prompt(s, kind);
  if (choice == choice_clear) {
    clear_parameter(s, parameter, where);
  } else if (choice != choice_cancel) {
    set_parameter(s, parameter, where, typed_line(s));
  }
}

void enter_value(session& s, int parameter, scope where) {
  const int kind = value_kind(parameter, where);
  for (;;) {
    print_menu(s, kind);
    read_line(s);
    const int result = validate_input(s, kind);
    if (result == result_cancel) return;
    if (result == result_clear) {
      clear_parameter(s, parameter, where);
      return;
    }
    if (result >= 0) {
      set_parameter(s, parameter, where, typed_line(s));
      return;
    }
    std::fputs(retry_message, s.out);
  }
}

}  // namespace kvx::paramutil
