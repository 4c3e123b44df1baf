// The driver parameters that hbautil edits, one row per line of the
// parameter list menu, and the scopes they are stored in.
#pragma once

#include <cstdint>

namespace kvx::paramutil {

struct parameter_row {
  std::uint8_t number;           // what the user types in the parameter list
  std::uint8_t global_allowed;   // 1: may be set for all adapters
  std::uint8_t adapter_allowed;  // 1: may be set per adapter number
  const char* display_name;
  const char* entry_name;  // name inside the parameter string; null for the return row
};

/// Ends with a row whose number is 0.
extern const parameter_row parameter_table[];

/// Row numbers with a meaning of their own.
inline constexpr int param_connection_type = 1;
inline constexpr int param_link_speed = 2;
inline constexpr int param_max_transfer = 3;
inline constexpr int param_link_down = 4;
inline constexpr int param_reset_delay = 5;
inline constexpr int param_machine_check = 6;
inline constexpr int param_preferred_alpa = 7;
inline constexpr int param_queue_depth = 8;
inline constexpr int param_sg_list = 9;
inline constexpr int param_mscs_mode = 10;
inline constexpr int return_row = 99;

/// The row with that number, or null.
const parameter_row* find_parameter(int number);

/// Global scope (adapter < 0) or one adapter number 0 to 31.
struct scope {
  int adapter = -1;
  constexpr bool global() const { return adapter < 0; }
};

inline constexpr int adapter_number_count = 32;

/// The Device key that holds every value hbautil reads or writes, and the
/// driver's service key whose presence means the driver is installed.
inline constexpr const char* service_key_path = "SYSTEM\\CurrentControlSet\\Services\\kvxwdd";
inline constexpr const char* device_key_path = "SYSTEM\\CurrentControlSet\\Services\\kvxwdd\\Parameters\\Device";

/// Value names; room for any int after the name.
struct value_name {
  char text[32];
};
value_name parameter_value_name(scope where);
value_name adapter_value_name(int adapter);

}  // namespace kvx::paramutil
