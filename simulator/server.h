// The driver simulator's server: one port device per configured adapter
// (a socket under <host root>/devices, platform/sim/port_protocol.h), the
// adapters' entries in the SCSI port map of the simulated registry, and the
// control socket through which `kvxsim inject|fill|busy|...` reach it.
//
// One thread runs run(); everything the server keeps is touched by that
// thread only. stop() may be called from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "simulator/config.h"

namespace kvx::simulator {

struct server_options {
  /// Ends run() on SIGINT, SIGTERM or SIGHUP, which the caller has blocked
  /// in every thread before starting any (the kvxsim program does).
  bool handle_signals = false;
};

class server {
 public:
  explicit server(std::vector<adapter_config> adapters, server_options options = {});
  /// Removes the sockets and port map entries that start() made. Only after run() has returned.
  ~server();
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  /// Creates the control socket and the device sockets and writes the port
  /// map. 0, or 1 with `error` for a person (nothing is left behind).
  [[nodiscard]] int start(std::string& error);
  /// Serves until stop(), a `stop` request or a handled signal.
  void run();
  /// Asks run() to end; safe from any thread.
  void stop();

 private:
  class impl;
  std::unique_ptr<impl> impl_;
};

}  // namespace kvx::simulator
