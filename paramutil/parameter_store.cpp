#include "paramutil/parameter_store.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "paramutil/device_key.h"
#include "paramutil/parameter_text.h"

namespace kvx::paramutil {
namespace {

inline constexpr int site_connection_type = 12;
inline constexpr int site_link_speed = 13;
inline constexpr int site_max_transfer = 14;
inline constexpr int site_show_parameter = 18;

// A row that may be stored in the scope; null for numbers outside 1 to 10
// and for global-only parameters asked for an adapter.
const parameter_row* stored_row(int parameter, scope where) {
  if (parameter < param_connection_type || parameter > param_mscs_mode) return nullptr;
  const parameter_row* row = find_parameter(parameter);
  if (row == nullptr || row->entry_name == nullptr) return nullptr;
  if (!where.global() && row->adapter_allowed == 0) return nullptr;
  return row;
}

// The parameter's number in the scope; none when it is not set: no value, no
// entry, no leading number, or the number -1.
std::optional<std::int32_t> stored_number(session& s, const parameter_row& row, scope where) {
  std::string text;
  {
    platform::unique_reg_key key;
    if (!open_device_key(s.reg, key)) return std::nullopt;
    if (!read_text_value(*key, parameter_value_name(where).text, text)) return std::nullopt;
  }
  const std::optional<entry_location> entry = find_entry(text, row.entry_name);
  if (!entry || !entry->has_value) return std::nullopt;
  const std::string_view value =
      std::string_view(text).substr(entry->value_begin, entry->value_end - entry->value_begin);
  const std::optional<std::int32_t> number = leading_number(value, row.number == param_preferred_alpa);
  if (number && *number == -1) return std::nullopt;
  return number;
}

// The display text of a value, or null when the display does not know it.
const char* listed_name(int parameter, std::int32_t value) {
  switch (parameter) {
    case param_connection_type:
      if (value == 0) return "Auto";
      if (value == 1) return "Point to Point";
      if (value == 2) return "FC-AL";
      return nullptr;
    case param_link_speed:
      if (value == 0) return "Auto";
      if (value == 1) return "1 Gbps";
      if (value == 2) return "2 Gbps";
      if (value == 4) return "4 Gbps";
      return nullptr;
    case param_max_transfer:
      if (value == 1) return "1 MB";
      if (value == 4) return "4 MB";
      if (value == 8) return "8 MB";
      if (value == 16) return "16 MB";
      return nullptr;
    default:
      return value == 1 ? "Enable " : "Disable";
  }
}

int unknown_value_site(int parameter) {
  switch (parameter) {
    case param_connection_type:
      return site_connection_type;
    case param_link_speed:
      return site_link_speed;
    default:
      return site_max_transfer;
  }
}

// `is_number`: `shown` is a numeric value (not a listed name or the not-set text).
void print_message(session& s, const parameter_row& row, scope where, const char* shown, bool is_number) {
  if (where.global()) {
    std::fprintf(s.out, "Current %s = %s\n", row.display_name, shown);
  } else if (row.number == param_machine_check && is_number) {
    // The driver's own tool has always printed this one value message with a leading blank.
    std::fprintf(s.out, " Adapter %d Current %s = %s\n", where.adapter, row.display_name, shown);
  } else {
    std::fprintf(s.out, "Adapter %d Current %s = %s\n", where.adapter, row.display_name, shown);
  }
}

// Reads the scope's string and takes the entry out of it; a string that
// cannot be read counts as empty.
std::string string_without_entry(platform::registry_key& key, const char* value_name, const parameter_row& row) {
  std::string text;
  if (!read_text_value(key, value_name, text)) text.clear();
  const std::optional<entry_location> entry = find_entry(text, row.entry_name);
  return entry ? without_entry(text, *entry) : text;
}

}  // namespace

void report_internal_error(session& s, int site, int value) {
  std::fprintf(s.out, "<error> internal error. ( %d : %d )\n", site, value);
  std::fflush(s.out);
  std::exit(exit_internal_error);
}

void show_current_value(session& s, int parameter, scope where) {
  const parameter_row* row = stored_row(parameter, where);
  if (row == nullptr) report_internal_error(s, site_show_parameter, parameter);
  const std::optional<std::int32_t> number = stored_number(s, *row, where);
  std::fputs("\n\n", s.out);
  if (!number) {
    print_message(s, *row, where, "It is not yet set.", false);
    return;
  }
  switch (parameter) {
    case param_connection_type:
    case param_link_speed:
    case param_max_transfer:
    case param_mscs_mode: {
      const char* name = listed_name(parameter, *number);
      if (name == nullptr) report_internal_error(s, unknown_value_site(parameter), *number);
      print_message(s, *row, where, name, false);
      return;
    }
    default: {
      char shown[16];
      if (parameter == param_preferred_alpa) {
        std::snprintf(shown, sizeof shown, "0x%02x", static_cast<unsigned>(*number));
      } else {
        std::snprintf(shown, sizeof shown, "%d", *number);
      }
      print_message(s, *row, where, shown, true);
      return;
    }
  }
}

void set_parameter(session& s, int parameter, scope where, std::string_view typed) {
  const parameter_row* row = stored_row(parameter, where);
  if (row == nullptr) return;
  if (!driver_installed(s.reg)) {
    std::fputs(not_installed_message, s.out);
    return;
  }
  platform::unique_reg_key key;
  if (!create_device_key(s.reg, key)) return;
  const value_name name = parameter_value_name(where);
  std::string text = string_without_entry(*key, name.text, *row);
  text += row->entry_name;
  text += '=';
  text += typed;
  text += ';';
  (void)write_text_value(*key, name.text, text);
}

void clear_parameter(session& s, int parameter, scope where) {
  const parameter_row* row = stored_row(parameter, where);
  if (row == nullptr) return;
  if (!driver_installed(s.reg)) {
    std::fputs(not_installed_message, s.out);
    return;
  }
  platform::unique_reg_key key;
  if (!open_device_key(s.reg, key)) return;
  const value_name name = parameter_value_name(where);
  (void)write_text_value(*key, name.text, string_without_entry(*key, name.text, *row));
}

}  // namespace kvx::paramutil
