// An in-memory registry for hbautil's tests: keys and value names are
// case-insensitive, data is kept byte for byte as written, and every write is
// counted so a test can prove that nothing was written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace kvx::test {

class paramutil_fake_registry : public platform::registry {
 public:
  struct value {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
  };

  std::uint32_t open_key(platform::hive_root root, const char* subkey, std::uint32_t access,
                         platform::unique_reg_key& out) override;
  std::uint32_t create_key(platform::hive_root root, const char* subkey, std::uint32_t access,
                           platform::unique_reg_key& out, bool* created) override;
  std::uint32_t delete_key(platform::hive_root root, const char* subkey) override;

  /// Test set-up and inspection (HKLM paths).
  void add_key(const std::string& path);
  bool has_key(const std::string& path) const;
  void put_text(const std::string& path, const std::string& name, const std::string& bytes);
  /// The stored value, or null.
  const value* find(const std::string& path, const std::string& name) const;
  /// The stored bytes as a string (no NUL added or removed); "<absent>" when missing.
  std::string bytes(const std::string& path, const std::string& name) const;

  /// open_key on this path fails with error_access_denied from now on, as
  /// for a user without full access.
  void deny_open(const std::string& path) { denied_ = fold(path); }

  int writes() const { return writes_; }
  int open_keys() const { return open_keys_; }

 private:
  class key;
  friend class key;
  static std::string fold(const std::string& s);

  // folded key path -> folded value name -> value
  std::map<std::string, std::map<std::string, value>> keys_;
  std::string denied_;
  int writes_ = 0;
  int open_keys_ = 0;
};

}  // namespace kvx::test
