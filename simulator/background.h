// A simulator server on a thread of its own inside the calling process, for
// tests and benchmarks that need real port devices next to their own code.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "simulator/config.h"
#include "simulator/control.h"
#include "simulator/server.h"

namespace kvx::simulator {

class background_server {
 public:
  background_server() = default;
  /// Stops the server and waits for its thread.
  ~background_server();
  background_server(const background_server&) = delete;
  background_server& operator=(const background_server&) = delete;

  /// Starts serving `adapters` under the current host root. 0, or 1 with `error`.
  [[nodiscard]] int start(std::vector<adapter_config> adapters, std::string& error);
  /// Parses `config_text` first.
  [[nodiscard]] int start(const std::string& config_text, std::string& error);
  bool running() const { return thread_.joinable(); }
  /// One control request, as `kvxsim WORDS...` sends it; status -1 when the
  /// server did not answer.
  control_reply control(const std::vector<std::string>& words);

 private:
  std::unique_ptr<server> server_;
  std::thread thread_;
};

}  // namespace kvx::simulator
