// A registry that passes every call to the host's own (the simulated one
// under a temp_host) except the faults a test asks for. Install with
// platform::scoped_registry.
#pragma once

#include <atomic>
#include <string>

#include "platform/registry.h"

namespace kvx::test {

class capture_faulty_registry final : public platform::registry {
 public:
  /// Queries of this value with a data buffer fail with `error` (the size
  /// query without a buffer still succeeds).
  std::string fail_data_query_of;
  std::uint32_t error = 0;
  std::atomic<int> keys_opened{0};
  std::atomic<int> keys_closed{0};

  std::uint32_t open_key(platform::hive_root root, const char* subkey, std::uint32_t access,
                         platform::unique_reg_key& out) override;
  std::uint32_t create_key(platform::hive_root root, const char* subkey, std::uint32_t access,
                           platform::unique_reg_key& out, bool* created) override;
  std::uint32_t delete_key(platform::hive_root root, const char* subkey) override;
};

}  // namespace kvx::test
