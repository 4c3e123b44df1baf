// Whole hbautil sessions: the built program runs against a throw-away
// simulated host with its standard input from tests/data/paramutil/<name>.in;
// its standard output must equal <name>.out byte for byte, and afterwards the
// registry is read back value by value through `simhost reg query`.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/fakes/temp_host.h"
#include "tests/paramutil/session_registry.h"
#include "tests/support/process.h"

namespace kvx::test {
namespace {

const std::string nul(1, '\0');

// A value under the Device key as it must stand after the session: its exact
// REG_SZ bytes, or absent.
struct expected_value {
  const char* name;
  std::optional<std::string> bytes;
};

struct session_case {
  const char* name;
  int status;
  std::function<void(session_registry&)> setup;
  std::vector<expected_value> after;
  bool device_key_absent = false;
};

void installed(session_registry& r) { r.add_key(service_key); }

std::filesystem::path data_file(const std::string& name) {
  return std::filesystem::path(KVX_TEST_DATA_DIR) / "paramutil" / name;
}

const std::vector<session_case>& cases() {
  static const std::vector<session_case> all = {
      {"global_set_order", 0, installed, {{"DriverParameter", "Topology=1;LinkSpeed=4;"}}},
      {"clear_only_entry",
       0,
       [](session_registry& r) {
         installed(r);
         r.put_text("DriverParameter", "LinkDown=10;");
       },
       {{"DriverParameter", nul}}},
      {"clear_without_value",
       0,
       [](session_registry& r) {
         installed(r);
         r.put_text("Adapter5", "500008a00030014e");
       },
       {{"DriverParameter5", nul}, {"DriverParameter", std::nullopt}}},
      {"clear_without_device_key", 0, installed, {}, true},
      {"show_stored_values",
       0,
       [](session_registry& r) {
         installed(r);
         r.put_text("DriverParameter", "PreferredALPA=0x1f;LinkDown=007;");
       },
       {{"DriverParameter", "PreferredALPA=0x1f;LinkDown=007;"}}},
      {"mscs_disable", 0, installed, {{"DriverParameter", nul}}},
      {"stored_topology_5",
       255,
       [](session_registry& r) {
         installed(r);
         r.put_text("DriverParameter", "Topology=5;");
       },
       {{"DriverParameter", "Topology=5;"}}},
      {"no_driver_service_key", 0, [](session_registry&) {}, {}, true},
      {"menu_answers", 0, installed, {{"DriverParameter", "Qdp=99;"}}},
      {"prompt_answers", 0, installed, {{"DriverParameter", "MckRecovery=0000010;"}}},
      {"alpa_inputs", 0, installed, {{"DriverParameter", "PreferredALPA=0x1fzz;"}}},
      {"adapter_scope",
       0,
       [](session_registry& r) {
         installed(r);
         r.put_text("Adapter3", "500008a00030014e");
         r.put_text("DriverParameter3", "Topology=1;MckRecovery=4;Qdp=8;");
         r.put_text("DriverParameter", "Topology=2;");
       },
       {{"DriverParameter3", "Qdp=8;MckRecovery=5;"}, {"DriverParameter", "Topology=2;"}}},
      {"mapping_flows",
       0,
       [](session_registry& r) {
         installed(r);
         r.put_text("DriverParameter3", "Qdp=7;");
         r.put_text("DriverParameter5", "Qdp=4;");
       },
       {{"Adapter3", "500008a00030014f"},
        {"DriverParameter3", "Qdp=7;"},
        {"Adapter4", std::nullopt},
        {"Adapter5", std::nullopt},
        {"DriverParameter5", std::nullopt}}},
      {"no_mapping", 0, installed, {}, true},
      {"list_layout",
       0,
       [](session_registry& r) {
         installed(r);
         r.put_text("Adapter12", "20000000c9a1b2c3");
         r.put_text("Adapter3", "500008a00030014e");
         r.put_text("Adapter31", "21000024ff3d4e5f");
         r.put_text("Adapter0", "10000000c9000001");
       },
       {{"Adapter0", "10000000c9000001"}, {"Adapter12", "20000000c9a1b2c3"}}},
      {"end_of_input", 1, installed, {{"DriverParameter", "Qdp=16;"}}},
  };
  return all;
}

class Session : public ::testing::TestWithParam<session_case> {};
// A case shows as its name, in the case's name and in a failure.
void PrintTo(const session_case& c, std::ostream* os) { *os << c.name; }

TEST_P(Session, OutputAndRegistryAsExpected) {
  const session_case& c = GetParam();
  temp_host host;
  session_registry reg;
  c.setup(reg);
  const std::string input = read_file(data_file(std::string(c.name) + ".in"));
  run_options options;
  options.input = input;
  const command_result run = run_built("paramutil/hbautil", {}, options);

  const std::filesystem::path golden = data_file(std::string(c.name) + ".out");
  if (std::getenv("KVX_UPDATE_GOLDEN") != nullptr) std::ofstream(golden, std::ios::binary) << run.out;
  EXPECT_EQ(run.out, read_file(golden));
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.find('\033'), std::string::npos) << "no control sequences into a pipe";

  for (const expected_value& v : c.after) {
    const std::optional<stored_value> got = reg.query(v.name);
    if (!v.bytes) {
      EXPECT_FALSE(got.has_value()) << v.name << " should be absent";
      continue;
    }
    ASSERT_TRUE(got.has_value()) << v.name << " missing";
    EXPECT_EQ(got->type, "REG_SZ") << v.name;
    EXPECT_EQ(got->bytes, *v.bytes) << v.name;
    EXPECT_EQ(got->bytes.size(), v.bytes->size()) << v.name << ": byte count (no terminating NUL)";
  }
  if (c.device_key_absent) {
    EXPECT_FALSE(reg.device_key_exists());
  }
}

INSTANTIATE_TEST_SUITE_P(Paramutil, Session, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<session_case>& param) { return param.param.name; });

}  // namespace
}  // namespace kvx::test
