// The simulated host's registry as hbautil's session tests see it: set up in
// this process through the simulated backend, read back through the
// `simhost reg query /x` command, which shows each value's exact bytes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kvx::test {

inline constexpr const char* service_key = "SYSTEM\\CurrentControlSet\\Services\\kvxwdd";
inline constexpr const char* device_key = "SYSTEM\\CurrentControlSet\\Services\\kvxwdd\\Parameters\\Device";

struct stored_value {
  std::string type;   // as simhost names it, "REG_SZ"
  std::string bytes;  // exactly the stored bytes
};

class session_registry {
 public:
  /// Creates the key (below HKEY_LOCAL_MACHINE) and the keys above it.
  void add_key(const char* path);
  /// Stores the bytes as they are (no NUL added) as REG_SZ under the Device key.
  void put_text(const char* name, const std::string& bytes);

  /// The value under the Device key, or none when `simhost reg query` finds none.
  std::optional<stored_value> query(const char* name);
  bool device_key_exists();
};

}  // namespace kvx::test
