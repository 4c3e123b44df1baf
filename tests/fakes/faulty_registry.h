// The host's own registry (the simulated one under a temp_host) with the
// faults a test asks for, and a count of the keys it hands out. Install it
// with platform::scoped_registry.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "platform/registry.h"

namespace kvx::test {

class faulty_registry final : public platform::registry {
 public:
  /// Opens and creates one of these subkeys (under any root) fail with
  /// error_access_denied.
  std::set<std::string> denied;
  /// Closing a key closes it and then answers error_invalid_handle.
  bool fail_close = false;
  /// Queries of this value with a data buffer fail with `data_query_error`
  /// (the size query without a buffer still succeeds).
  std::string fail_data_query_of;
  std::uint32_t data_query_error = 0;

  /// Keys handed out by open_key and create_key, and those of them destroyed.
  std::atomic<int> keys_opened{0};
  std::atomic<int> keys_closed{0};

  std::uint32_t open_key(platform::hive_root root, const char* subkey, std::uint32_t access,
                         platform::unique_reg_key& out) override;
  std::uint32_t create_key(platform::hive_root root, const char* subkey, std::uint32_t access,
                           platform::unique_reg_key& out, bool* created) override;
  std::uint32_t delete_key(platform::hive_root root, const char* subkey) override;

 private:
  bool is_denied(const char* subkey) const { return subkey != nullptr && denied.count(subkey) != 0; }
  std::uint32_t hand_out(std::uint32_t result, platform::unique_reg_key inner, platform::unique_reg_key& out);
};

}  // namespace kvx::test
