#include "paramutil/adapter_numbers.h"

#include <cstdio>
#include <string>

#include "paramutil/console_input.h"
#include "paramutil/device_key.h"
#include "paramutil/parameter_store.h"
#include "paramutil/parameter_table.h"

namespace kvx::paramutil {
namespace {

inline constexpr const char* adapter_number_prompt = "Adapter Number ( 0-31 or X to Cancel ) => ";
inline constexpr const char* wwpn_prompt = "Adapter World Wide Port Name (exp. 500008a00030014e) => ";
inline constexpr const char* no_entry_message = ">>> no entry. please re-try.\n";
inline constexpr std::size_t wwpn_length = 16;

// The adapter number prompt and its answer: a number 0 to 31, result_cancel
// or result_invalid.
int ask_adapter_number(session& s) {
  std::fputs(adapter_number_prompt, s.out);
  read_line(s);
  return validate_input(s, kind_adapter_number);
}

}  // namespace

void list_adapter_numbers(session& s) {
  std::fputs(" Adapter Number - World Wide Port Name\n", s.out);
  platform::unique_reg_key key;
  if (!open_device_key(s.reg, key)) return;
  for (int n = 0; n < adapter_number_count; ++n) {
    std::string text;
    if (!read_text_value(*key, adapter_value_name(n).text, text)) continue;
    std::fprintf(s.out, "      %3d       -  ", n);
    std::fwrite(text.data(), 1, text.size(), s.out);
    std::fputs("\n", s.out);
  }
}

bool adapter_number_exists(session& s, int number) {
  platform::unique_reg_key key;
  return open_device_key(s.reg, key) && value_exists(*key, adapter_value_name(number).text);
}

bool wwpn_in_use(session& s, int number, std::string_view wwpn) {
  platform::unique_reg_key key;
  if (!open_device_key(s.reg, key)) return false;
  for (int n = 0; n < adapter_number_count; ++n) {
    if (n == number) continue;
    std::string text;
    if (read_text_value(*key, adapter_value_name(n).text, text) && text == wwpn) return true;
  }
  return false;
}

void set_adapter_number(session& s, int number, std::string_view wwpn) {
  if (!driver_installed(s.reg)) {
    std::fputs(not_installed_message, s.out);
    return;
  }
  platform::unique_reg_key key;
  if (!create_device_key(s.reg, key)) return;
  (void)write_text_value(*key, adapter_value_name(number).text, wwpn);
}

void delete_adapter_number(session& s, int number) {
  platform::unique_reg_key key;
  if (!open_device_key(s.reg, key)) return;
  (void)key->delete_value(adapter_value_name(number).text);
  (void)key->delete_value(parameter_value_name(scope{number}).text);
}

bool fold_wwpn(std::string_view typed, char (&out)[17]) {
  if (typed.size() != wwpn_length) return false;
  for (std::size_t i = 0; i < wwpn_length; ++i) {
    char c = typed[i];
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    out[i] = c;
  }
  out[wwpn_length] = '\0';
  return true;
}

void display_adapter_numbers(session& s) {
  std::fputs("\nDisplay HBA Adapter Number: \n", s.out);
  list_adapter_numbers(s);
  std::fputs("\n Return to Main Menu - Hit Any Key\n", s.out);
  read_line(s);
}

void set_adapter_numbers_flow(session& s) {
  std::fputs("\n", s.out);
  for (;;) {
    std::fputs("Set HBA Adapter Number: \n", s.out);
    list_adapter_numbers(s);
    std::fputs("\n", s.out);
    const int number = ask_adapter_number(s);
    if (number == result_cancel) return;
    if (number >= 0) {
      std::fputs(wwpn_prompt, s.out);
      read_line(s);
      char wwpn[wwpn_length + 1];
      if (!s.line.overlong && fold_wwpn(std::string_view(s.line.text, s.line.length), wwpn) &&
          !wwpn_in_use(s, number, wwpn)) {
        set_adapter_number(s, number, wwpn);
        std::fputs("\n", s.out);
        continue;
      }
    }
    std::fputs(retry_message, s.out);
    std::fputs("\n", s.out);
  }
}

void delete_adapter_numbers_flow(session& s) {
  std::fputs("\n", s.out);
  for (;;) {
    std::fputs("Delete HBA Adapter Number: \n", s.out);
    list_adapter_numbers(s);
    std::fputs("\n", s.out);
    const int number = ask_adapter_number(s);
    if (number == result_cancel) return;
    if (number < 0) {
      std::fputs(retry_message, s.out);
    } else if (!adapter_number_exists(s, number)) {
      std::fputs(no_entry_message, s.out);
    } else {
      delete_adapter_number(s, number);
    }
    std::fputs("\n", s.out);
  }
}

int select_mapped_adapter(session& s) {
  std::fputs("\n", s.out);
  for (;;) {
    const int number = ask_adapter_number(s);
    if (number == result_cancel) return adapter_cancelled;
    if (number < 0) {
      std::fputs(retry_message, s.out);
    } else if (!adapter_number_exists(s, number)) {
      std::fputs(no_entry_message, s.out);
    } else {
      return number;
    }
  }
}

}  // namespace kvx::paramutil
