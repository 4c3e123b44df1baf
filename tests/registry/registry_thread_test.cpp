// Threads of one process using the simulated registry at once, as the
// service's threads do: no change is lost and no read sees a partial hive.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/host.h"
#include "platform/registry.h"
#include "platform/win_codes.h"
#include "tests/fakes/temp_host.h"

namespace kvx::platform {
namespace {

TEST(RegistryThreads, WritersAndReadersAtOnce) {
  test::temp_host host;
  registry& reg = backend_registry();
  constexpr int writers = 3;
  constexpr int each = 25;
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};

  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      unique_reg_key key;
      if (reg.create_key(hive_root::local_machine, "SOFTWARE\\Threads", win::key_all_access, key, nullptr) != 0) {
        ++failures;
        return;
      }
      for (int n = 0; n < each; ++n) {
        const std::uint32_t data = static_cast<std::uint32_t>(w * 1000 + n);
        const std::string name = "v" + std::to_string(data);
        if (key->set_value(name.c_str(), win::reg_dword, reinterpret_cast<const std::uint8_t*>(&data), 4) != 0) {
          ++failures;
        }
      }
    });
  }
  std::thread reader([&] {
    while (!done.load()) {
      unique_reg_key key;
      const std::uint32_t rc = reg.open_key(hive_root::local_machine, "SOFTWARE\\Threads", win::key_read, key);
      if (rc == win::error_file_not_found) continue;
      std::uint32_t size = 0;
      const std::uint32_t q = rc == 0 ? key->query_value("v0", nullptr, nullptr, &size) : rc;
      if (q != win::error_success && q != win::error_file_not_found) ++failures;
    }
  });
  for (std::thread& t : threads) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);

  unique_reg_key key;
  ASSERT_EQ(reg.open_key(hive_root::local_machine, "SOFTWARE\\Threads", win::key_read, key), win::error_success);
  for (int w = 0; w < writers; ++w) {
    for (int n = 0; n < each; ++n) {
      const std::uint32_t expected = static_cast<std::uint32_t>(w * 1000 + n);
      std::uint32_t data = 0;
      std::uint32_t size = 4;
      ASSERT_EQ(key->query_value(("v" + std::to_string(expected)).c_str(), nullptr,
                                 reinterpret_cast<std::uint8_t*>(&data), &size),
                win::error_success);
      EXPECT_EQ(data, expected);
    }
  }
}

}  // namespace
}  // namespace kvx::platform
