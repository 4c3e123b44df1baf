// The hive shared by several processes: writers at once lose nothing, a
// writer killed at any moment leaves a whole hive, and the simhost program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/host.h"
#include "platform/registry.h"
#include "platform/sim/hive.h"
#include "platform/win_codes.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/process.h"

namespace kvx::platform {
namespace {

std::vector<std::uint8_t> pattern(int writer, int n, std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(writer * 31 + n * 7 + i);
  return data;
}

std::string value_name(int writer, int n) { return "w" + std::to_string(writer) + "_" + std::to_string(n); }

// The body of a child process; its exit status says how far it got.
int write_values(const char* subkey, int writer, int count, std::size_t size) {
  unique_reg_key key;
  if (backend_registry().create_key(hive_root::local_machine, subkey, win::key_all_access, key, nullptr) != 0) return 2;
  for (int n = 0; n < count; ++n) {
    const std::vector<std::uint8_t> data = pattern(writer, n, size);
    if (key->set_value(value_name(writer, n).c_str(), win::reg_binary, data.data(),
                       static_cast<std::uint32_t>(data.size())) != win::error_success) {
      return 3;
    }
    // Keys made at the same time as values are kept too.
    if (n % 10 == 0) {
      const std::string sub = std::string(subkey) + "\\writer" + std::to_string(writer) + "\\" + std::to_string(n);
      unique_reg_key made;
      if (backend_registry().create_key(hive_root::local_machine, sub.c_str(), win::key_all_access, made, nullptr) !=
          0) {
        return 4;
      }
    }
  }
  return 0;
}

TEST(RegistryProcesses, WritersAtOnceLoseNoChange) {
  test::temp_host host;
  constexpr int writers = 4;
  constexpr int each = 40;
  std::vector<pid_t> children;
  for (int w = 0; w < writers; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(write_values("SOFTWARE\\Shared", w, each, 16));
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  sim::reg_key top;
  sim::hive_error e;
  ASSERT_EQ(sim::load_hive(hive_root::local_machine, top, e), 0) << e.message;
  const sim::reg_key* shared = top.find({"SOFTWARE", "Shared"});
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(shared->values().size(), static_cast<std::size_t>(writers * each));
  for (int w = 0; w < writers; ++w) {
    for (int n = 0; n < each; ++n) {
      const sim::reg_value* v = shared->find_value(value_name(w, n));
      ASSERT_NE(v, nullptr) << value_name(w, n);
      EXPECT_EQ(v->data, pattern(w, n, 16));
    }
    const sim::reg_key* mine = shared->find_subkey("writer" + std::to_string(w));
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(mine->subkeys().size(), static_cast<std::size_t>(each / 10));
  }
}

// Each round a child writes values to a key of its own until it is killed:
// at a random moment, or, every other round, as soon as it has begun a new
// hive file. The hive must then hold every earlier round's values as they
// were and a run of this round's complete writes, in order.
TEST(RegistryProcesses, AWriterKilledAtAnyMomentLeavesAWholeEarlierHive) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  test::temp_host host;
  std::filesystem::path unfinished = sim::hive_file(hive_root::local_machine);
  unfinished += ".new";
  // A large hive makes every rewrite take long enough to be cut short.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(write_values("SOFTWARE\\Ballast", 9, 1, 60000), 0);
  const auto rewrite = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

  std::vector<std::size_t> kept;  // values each round left
  int cut_short = 0;              // kills that left a new hive file unfinished
  for (int round = 0; round < 10; ++round) {
    std::filesystem::remove(unfinished);
    const std::string key = "SOFTWARE\\Round" + std::to_string(round);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(write_values(key.c_str(), round, 100000, 200));
    if (round % 2 == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % (8 * rewrite.count() + 1)));
    } else {
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!std::filesystem::exists(unfinished) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    cut_short += std::filesystem::exists(unfinished) ? 1 : 0;

    sim::reg_key top;
    sim::hive_error e;
    ASSERT_EQ(sim::load_hive(hive_root::local_machine, top, e), 0) << e.message;
    const sim::reg_key* ballast = top.find({"SOFTWARE", "Ballast"});
    ASSERT_NE(ballast, nullptr);
    EXPECT_EQ(ballast->values().at(0).data, pattern(9, 0, 60000));
    const sim::reg_key* mine = top.find({"SOFTWARE", "Round" + std::to_string(round)});
    kept.push_back(mine != nullptr ? mine->values().size() : 0);
    for (int r = 0; r <= round; ++r) {
      const sim::reg_key* k = top.find({"SOFTWARE", "Round" + std::to_string(r)});
      ASSERT_EQ(k != nullptr ? k->values().size() : 0, kept[static_cast<std::size_t>(r)]) << "round " << r;
      for (std::size_t n = 0; n < kept[static_cast<std::size_t>(r)]; ++n) {
        EXPECT_EQ(k->values()[n].name, value_name(r, static_cast<int>(n)));
        EXPECT_EQ(k->values()[n].data, pattern(r, static_cast<int>(n), 200));
      }
    }
  }
  // The dead writers' locks went with them.
  unique_reg_key after;
  EXPECT_EQ(
      backend_registry().create_key(hive_root::local_machine, "SOFTWARE\\After", win::key_all_access, after, nullptr),
      win::error_success);
  std::size_t written = 0;
  for (std::size_t k : kept) written += k;
  EXPECT_GT(written, 0U) << "every writer was killed before its first write";
  EXPECT_GT(cut_short, 0) << "no kill came while a new hive was being written";
}

test::command_result run_simhost(const std::vector<std::string>& args) {
  return test::run_built("simhost/simhost", args);
}

TEST(SimhostReg, TheProgramServesTheSameHive) {
  test::temp_host host;
  ASSERT_TRUE(std::filesystem::exists(test::built_program("simhost/simhost")));
  const std::string key = "HKLM\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd";
  EXPECT_EQ(run_simhost({"reg", "add", key, "/v", "max_retry_count", "/t", "REG_DWORD", "/d", "300"}).status, 0);
  unique_reg_key k;
  ASSERT_EQ(backend_registry().open_key(hive_root::local_machine, "SOFTWARE\\Velmora\\kvxwdd\\hbalogd",
                                        win::key_query_value, k),
            win::error_success);
  std::uint8_t data[4] = {};
  std::uint32_t size = sizeof data;
  std::uint32_t type = 0;
  ASSERT_EQ(k->query_value("max_retry_count", &type, data, &size), win::error_success);
  EXPECT_EQ(type, win::reg_dword);
  EXPECT_EQ(data[0] | data[1] << 8, 300);

  const test::command_result q = run_simhost({"reg", "query", key, "/v", "max_retry_count", "/x"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd\n"
            "    max_retry_count    REG_DWORD    4    2C010000\n\n");
  EXPECT_EQ(run_simhost({"reg", "query", key, "/v", "absent"}).status, 1);
  EXPECT_EQ(run_simhost({"reg", "add", key, "/v", "x", "/t", "REG_DWORD", "/d", "seven"}).status, 1);
  EXPECT_NE(run_simhost({"reg"}).status, 0);
}

}  // namespace
}  // namespace kvx::platform
