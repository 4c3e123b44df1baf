// The driver simulator in the test's own process (simulator/background.h),
// failing the test when it cannot start. Header only: a test that includes it
// links kvx_simulator.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/background.h"

namespace kvx::test {

class running_simulator {
 public:
  explicit running_simulator(const std::string& config_text) {
    std::string error;
    if (server_.start(config_text, error) != 0) ADD_FAILURE() << "simulator start: " << error;
  }
  explicit running_simulator(std::vector<simulator::adapter_config> adapters) {
    std::string error;
    if (server_.start(std::move(adapters), error) != 0) ADD_FAILURE() << "simulator start: " << error;
  }

  bool started() const { return server_.running(); }
  /// One control request; a simulator that does not answer fails the test.
  simulator::control_reply control(const std::vector<std::string>& words) {
    simulator::control_reply reply = server_.control(words);
    EXPECT_NE(reply.status, -1) << reply.err;
    return reply;
  }

 private:
  simulator::background_server server_;
};

/// An adapter on `port` with the simulator's defaults.
inline simulator::adapter_config sim_adapter(int port) {
  std::vector<simulator::adapter_config> parsed;
  std::string error;
  EXPECT_EQ(simulator::parse_config("[adapter]\nport = " + std::to_string(port) + "\n", parsed, error), 0) << error;
  return parsed.empty() ? simulator::adapter_config{} : parsed.front();
}

}  // namespace kvx::test
