// The registry seam: RegOpenKeyExA, RegCreateKeyExA, RegQueryValueExA,
// RegSetValueExA, RegDeleteValueA, RegDeleteKeyA and RegCloseKey, with the
// Windows semantics that the suite relies on. Results are Windows error codes
// (win::error_success on success).
#pragma once

#include <cstdint>
#include <memory>

namespace kvx::platform {

enum class hive_root { local_machine, classes_root };

/// An open key. The destructor closes it (RegCloseKey) when close() was not called.
class registry_key {
 public:
  virtual ~registry_key() = default;
  /// RegQueryValueExA. `name` null or "" names the default value. `type`, `data`
  /// and `size` may each be null. With `data` null, *size receives the data size.
  /// A buffer smaller than the data fails with error_more_data and *size set to
  /// the data size. Data is returned exactly as stored (a REG_SZ need not end in
  /// NUL). An absent value gives error_file_not_found.
  [[nodiscard]] virtual std::uint32_t query_value(const char* name, std::uint32_t* type, std::uint8_t* data,
                                                  std::uint32_t* size) = 0;
  /// RegSetValueExA: stores exactly `size` bytes of `data` with `type`.
  [[nodiscard]] virtual std::uint32_t set_value(const char* name, std::uint32_t type, const std::uint8_t* data,
                                                std::uint32_t size) = 0;
  /// RegDeleteValueA: error_file_not_found when the value is absent.
  [[nodiscard]] virtual std::uint32_t delete_value(const char* name) = 0;
  /// RegCloseKey, reporting its result; the key is unusable afterwards.
  [[nodiscard]] virtual std::uint32_t close() = 0;
};

using unique_reg_key = std::unique_ptr<registry_key>;

class registry {
 public:
  virtual ~registry() = default;
  /// RegOpenKeyExA on root\subkey (backslash separated, case-insensitive names).
  /// error_file_not_found when the key does not exist.
  [[nodiscard]] virtual std::uint32_t open_key(hive_root root, const char* subkey, std::uint32_t access,
                                               unique_reg_key& out) = 0;
  /// RegCreateKeyExA (empty class, non-volatile): opens the key, creating it and
  /// every missing key above it. *created (may be null) tells which happened.
  [[nodiscard]] virtual std::uint32_t create_key(hive_root root, const char* subkey, std::uint32_t access,
                                                 unique_reg_key& out, bool* created) = 0;
  /// RegDeleteKeyA: deletes a key that has no subkeys, with its values.
  /// error_file_not_found when absent, error_access_denied when it has subkeys.
  [[nodiscard]] virtual std::uint32_t delete_key(hive_root root, const char* subkey) = 0;
};

/// The registry of the host this process runs on: the real one on Windows, the
/// simulated host's hive elsewhere, or a replacement installed for a test.
registry& host_registry();

}  // namespace kvx::platform
