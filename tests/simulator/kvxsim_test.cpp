// The kvxsim program: its commands and their exit codes, a configuration
// that does not parse, and a whole run from start to stop.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "adapter/port_probe.h"
#include "platform/sim/event_log_file.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/process.h"

namespace kvx::simulator {
namespace {

std::filesystem::path kvxsim() { return test::built_program("simulator/kvxsim"); }

/// `kvxsim run` in the background, its output in files under `scratch`.
test::background_process background_run(const std::filesystem::path& config, const std::filesystem::path& scratch) {
  return test::background_process({kvxsim().string(), "run", "--config", config.string()}, scratch / "run.out", {},
                                  scratch / "run.err");
}

class Kvxsim : public ::testing::Test {
 protected:
  test::temp_host host;

  test::command_result run(const std::vector<std::string>& args) { return test::run_built("simulator/kvxsim", args); }

  std::filesystem::path write_config(const std::string& text) {
    const std::filesystem::path path = host.root() / "sim.ini";
    std::ofstream(path) << text;
    return path;
  }

  bool port_mapped(int port) {
    char name[adapter::port_name_size] = {};
    return adapter::probe_scsi_port(port, name, adapter::name_form::short_) == 0;
  }
};

TEST_F(Kvxsim, BadArgumentsGiveAMessageAndExit2) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"launch"},
                                             {"run"},
                                             {"run", "--config"},
                                             {"run", "--config", "a", "extra"},
                                             {"inject", "--port", "2"},
                                             {"busy", "--port", "2", "--count", "x"},
                                             {"wait", "--timeout"}}) {
    const test::command_result r = run(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(r.err.rfind("kvxsim: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("usage: kvxsim COMMAND"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(Kvxsim, NoRunningSimulator) {
  const test::command_result r = run({"status"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kvxsim: no simulator is running (start one with kvxsim run --config FILE)\n");
  const test::command_result w = run({"wait", "--timeout", "0"});
  EXPECT_EQ(w.status, 1);
  EXPECT_EQ(w.err, "kvxsim: no simulator answered within 0 seconds\n");
}

TEST_F(Kvxsim, CorruptConfigurationNamesTheLine) {
  const std::filesystem::path config = write_config("[adapter]\nport = 2\nlink_speed = fast\n");
  const test::command_result r = run({"run", "--config", config.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kvxsim: " + config.string() + ": line 3: link_speed must be a number from 0 to 255 (0xff)\n");
  EXPECT_FALSE(port_mapped(2));
}

TEST_F(Kvxsim, WholeRunFromStartToStop) {
  const std::filesystem::path config =
      write_config("[adapter]\nport = 2\npci_location = 0x020a\n[adapter]\nport = 7\n");
  test::background_process server = background_run(config, host.root());
  ASSERT_TRUE(server.started());
  ASSERT_EQ(run({"wait", "--timeout", "20"}).status, 0);
  EXPECT_TRUE(port_mapped(2));
  EXPECT_TRUE(port_mapped(7));

  test::command_result r = run({"inject", "--port", "2", "--error", "5", "--slot", "3"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "System record 1\n");
  std::vector<sim::event_record> records;
  ASSERT_EQ(sim::read_event_log("System", records), 0);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].data[40], 0x05);
  EXPECT_EQ(records[0].data[43], 0x0A);

  EXPECT_EQ(run({"fill", "--port", "7", "--slot", "0"}).status, 0);
  EXPECT_EQ(run({"busy", "--port", "7", "--count", "4"}).status, 0);
  EXPECT_EQ(run({"unplug", "--port", "7"}).status, 0);
  r = run({"status"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "port 2: location 020a, plugged, open handles: 0 shared, 0 exclusive, busy answers left: 0, exchanges: 0, "
            "occupied slots: 3\n"
            "port 7: location 0700, unplugged, open handles: 0 shared, 0 exclusive, busy answers left: 4, exchanges: "
            "0, occupied slots: 0\n");
  EXPECT_TRUE(port_mapped(7)) << "an unplugged device keeps its port map entry";
  EXPECT_EQ(run({"plug", "--port", "7"}).status, 0);

  r = run({"fill", "--port", "3", "--slot", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kvxsim: no adapter is configured on port 3\n");

  const test::command_result second = run({"run", "--config", config.string()});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("already serving"), std::string::npos) << second.err;

  r = run({"stop"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(server.wait(), 0);
  EXPECT_FALSE(port_mapped(2));
  EXPECT_TRUE(std::filesystem::is_empty(host.root() / "devices"));
}

TEST_F(Kvxsim, TerminationSignalEndsTheRunCleanly) {
  const std::filesystem::path config = write_config("[adapter]\nport = 4\n");
  test::background_process server = background_run(config, host.root());
  ASSERT_EQ(run({"wait", "--timeout", "20"}).status, 0);
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(), 0);
  EXPECT_FALSE(port_mapped(4));
  EXPECT_TRUE(std::filesystem::is_empty(host.root() / "devices"));
}

}  // namespace
}  // namespace kvx::simulator
