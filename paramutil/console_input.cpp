#include "paramutil/console_input.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "paramutil/parameter_store.h"

namespace kvx::paramutil {
namespace {

inline constexpr int site_validate_kind = 11;

// Values past this are outside every range; saturating here means a long
// digit string can never wrap around into one.
inline constexpr std::int64_t number_ceiling = std::int64_t{1} << 32;

// The whole line as a decimal number; none for an empty line or any other
// character. Values that do not fit in 32 bits come back as number_ceiling.
std::optional<std::int64_t> decimal_line(std::string_view line) {
  if (line.empty()) return std::nullopt;
  std::int64_t number = 0;
  for (char c : line) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
    if (number > number_ceiling) number = number_ceiling;
  }
  return number;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "0x" or "0X", at least one hexadecimal digit, then anything that cannot
// break the parameter string it is stored in (no ";", "=" or control
// characters). The number is read up to the first non-digit.
std::optional<std::int64_t> hex_line(std::string_view line) {
  if (line.size() < 3 || line[0] != '0' || (line[1] != 'x' && line[1] != 'X') || hex_digit(line[2]) < 0) {
    return std::nullopt;
  }
  std::int64_t number = 0;
  std::size_t i = 2;
  for (; i < line.size() && hex_digit(line[i]) >= 0; ++i) {
    number = number * 16 + hex_digit(line[i]);
    if (number > number_ceiling) number = number_ceiling;
  }
  for (; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c == 0x7f || c == ';' || c == '=') return std::nullopt;
  }
  return number;
}

bool in_range(std::int64_t n, std::int64_t low, std::int64_t high) { return n >= low && n <= high; }

bool one_of(std::int64_t n, std::initializer_list<int> set) {
  for (int v : set) {
    if (n == v) return true;
  }
  return false;
}

int accept_if(bool ok, std::int64_t n) { return ok ? static_cast<int>(n) : result_invalid; }

int check_menu_number(int kind, std::int64_t n) {
  switch (kind) {
    case kind_main_menu:
      return accept_if(one_of(n, {1, 2, 3, 99}), n);
    case kind_parameter_list_global:
    case kind_parameter_list_adapter: {
      const parameter_row* row = in_range(n, 1, 99) ? find_parameter(static_cast<int>(n)) : nullptr;
      if (row == nullptr) return result_invalid;
      return accept_if((kind == kind_parameter_list_global ? row->global_allowed : row->adapter_allowed) == 1, n);
    }
    case kind_set_parameters_menu:
    case kind_modify_menu:
      return accept_if(one_of(n, {1, 2, 99}), n);
    default:  // kind_adapter_number
      return accept_if(in_range(n, 0, adapter_number_count - 1), n);
  }
}

int check_value_number(int parameter, bool adapter_scope, std::int64_t n) {
  switch (parameter) {
    case param_connection_type:
      return accept_if(one_of(n, {0, 1, 2, 99}) || (adapter_scope && n == choice_clear), n);
    case param_link_speed:
      return accept_if(one_of(n, {0, 1, 2, 4, 99}) || (adapter_scope && n == choice_clear), n);
    case param_max_transfer:
      return accept_if(one_of(n, {1, 4, 8, 16, 88, 99}), n);
    case param_link_down:
    case param_reset_delay:
      return accept_if(in_range(n, 0, 60), n);
    case param_machine_check:
      return accept_if(in_range(n, 0, 10), n);
    case param_preferred_alpa:
      return accept_if(in_range(n, 0x01, 0xEF), n);
    case param_queue_depth:
      return accept_if(in_range(n, 1, 254), n);
    case param_sg_list:
      return accept_if(in_range(n, 16, 255), n);
    default:  // param_mscs_mode: Disable is the clear answer
      if (n == 0) return choice_clear;
      return accept_if(one_of(n, {1, 99}), n);
  }
}

// The parameter of a value kind, or 0 when the kind is not one.
int value_parameter(int kind) {
  const int base = kind >= kind_value_adapter ? kind_value_adapter : kind_value_global;
  const int p = kind - base;
  if (p < param_connection_type || p > param_mscs_mode) return 0;
  // Global-only parameters have no adapter-scope dialog.
  if (base == kind_value_adapter && find_parameter(p)->adapter_allowed == 0) return 0;
  return p;
}

bool is_menu_kind(int kind) { return kind >= kind_main_menu && kind <= kind_adapter_number; }

}  // namespace

void read_line(session& s) {
  std::fflush(s.out);
  input_line& line = s.line;
  std::size_t total = 0;
  bool any = false;
  char last = '\0';
  for (int c = std::fgetc(s.in); c != EOF; c = std::fgetc(s.in)) {
    any = true;
    if (c == '\n') break;
    if (total < input_line::max_length) line.text[total] = static_cast<char>(c);
    last = static_cast<char>(c);
    ++total;
  }
  if (!any) {
    std::fputs("\n", s.out);
    std::fflush(s.out);
    std::exit(exit_end_of_input);
  }
  if (total > 0 && last == '\r') --total;
  line.overlong = total > input_line::max_length;
  line.length = line.overlong ? input_line::max_length : total;
  line.text[line.length] = '\0';
}

int validate_input(session& s, int kind) {
  const int parameter = kind >= kind_value_global ? value_parameter(kind) : 0;
  if (parameter == 0 && !is_menu_kind(kind)) report_internal_error(s, site_validate_kind, kind);
  const std::string_view line(s.line.text, s.line.length);
  if (line.empty() || s.line.overlong) return result_invalid;

  const bool prompt_style = parameter >= param_link_down && parameter <= param_sg_list;
  if (prompt_style || kind == kind_adapter_number) {
    if (line[0] == 'X' || line[0] == 'x') return result_cancel;
    if (prompt_style && (line[0] == 'Z' || line[0] == 'z')) return result_clear;
  }
  if (parameter != 0 && line.size() > max_value_length) return result_invalid;

  const std::optional<std::int64_t> n = parameter == param_preferred_alpa ? hex_line(line) : decimal_line(line);
  if (!n) return result_invalid;
  if (parameter == 0) return check_menu_number(kind, *n);
  return check_value_number(parameter, kind >= kind_value_adapter, *n);
}

}  // namespace kvx::paramutil
