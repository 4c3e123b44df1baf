// kvxls over 128 simulated adapters: the program's wall time, and its
// exchanges per second next to a bare loop of the same exchanges over the
// same transport in the same run. Printed only.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "adapter/control_packet.h"
#include "adapter/port_access.h"
#include "adapter/port_probe.h"
#include "simulator/background.h"

extern char** environ;

namespace {

using namespace kvx;
using clock_type = std::chrono::steady_clock;

constexpr int adapter_count = 128;
constexpr int runs = 5;

/// Total exchanges the simulator has answered, from its status lines.
unsigned long long exchanges(simulator::background_server& server) {
  const simulator::control_reply reply = server.control({"status"});
  unsigned long long total = 0;
  for (std::size_t at = reply.out.find("exchanges: "); at != std::string::npos;
       at = reply.out.find("exchanges: ", at + 1)) {
    total += std::stoull(reply.out.substr(at + 11));
  }
  return total;
}

int run_kvxls(const std::string& program) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string name = program;
  char* argv[] = {name.data(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// What kvxls asks of one port: an open for presence, then seven shared
/// requests, each with its own open, exchange and close.
bool bare_port(int port) {
  const std::string path = "\\\\.\\scsi" + std::to_string(port) + ":";
  std::uint32_t error = 0;
  if (!adapter::open_port_device(path.c_str(), platform::share_mode::shared, error)) return false;
  struct request {
    bool command;
    int code;
  };
  const request requests[] = {{true, adapter::PCI_LOCATION},      {false, adapter::DATA_VERSIONS},
                              {false, adapter::DATA_PORT_NAMES},  {true, adapter::HBAINFO},
                              {true, adapter::HBAINFO},           {true, adapter::PkgType},
                              {false, adapter::DATA_PARTS_NUMBER}};
  for (const request& r : requests) {
    adapter::port_handle device = adapter::open_port_device(path.c_str(), platform::share_mode::shared, error);
    if (!device) return false;
    const auto code = static_cast<std::uint8_t>(r.code);
    adapter::packet_bytes packet(r.command ? adapter::command_packet_size(code)
                                           : adapter::adapter_data_packet_size(r.code));
    const int built =
        r.command ? adapter::build_command_packet(packet, code) : adapter::build_adapter_data_packet(packet, r.code);
    std::uint32_t returned = 0;
    if (built != 0 || adapter::exchange_packet(*device, packet, error, returned) != 0) return false;
  }
  return true;
}

}  // namespace

int main() {
  char root_template[] = "/tmp/kvx-bench-XXXXXX";
  const char* root = mkdtemp(root_template);
  if (root == nullptr) return 1;
  setenv("KVX_HOST_ROOT", root, 1);
  std::string config;
  for (int port = 0; port < adapter_count; ++port) config += "[adapter]\nport = " + std::to_string(port) + "\n";
  simulator::background_server server;
  std::string error;
  if (server.start(config, error) != 0) {
    std::fprintf(stderr, "kvxls_bench: %s\n", error.c_str());
    return 1;
  }
  // bench_kvxls_bench lives in <build>/bench, kvxls in <build>/listtool.
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::string program = (self.parent_path().parent_path() / "listtool" / "kvxls").string();

  // kvxls and the bare loop take turns, so that a burst of other work on the
  // machine does not land on one side only.
  double kvxls_seconds = 0;
  unsigned long long kvxls_exchanges = 0;
  double bare_seconds = 0;
  unsigned long long bare_exchanges = 0;
  for (int i = 0; i < runs; ++i) {
    unsigned long long before = exchanges(server);
    auto start = clock_type::now();
    if (run_kvxls(program) != 0) {
      std::fprintf(stderr, "kvxls_bench: %s did not run\n", program.c_str());
      return 1;
    }
    kvxls_seconds += std::chrono::duration<double>(clock_type::now() - start).count();
    kvxls_exchanges += exchanges(server) - before;

    before = exchanges(server);
    start = clock_type::now();
    for (int port = 0; port < adapter_count; ++port) {
      if (!bare_port(port)) {
        std::fprintf(stderr, "kvxls_bench: port %d did not answer\n", port);
        return 1;
      }
    }
    bare_seconds += std::chrono::duration<double>(clock_type::now() - start).count();
    bare_exchanges += exchanges(server) - before;
  }

  // The registry half of kvxls's work: the walk over ports 0..127.
  const auto probe_start = clock_type::now();
  for (int i = 0; i < runs; ++i) {
    for (int port = 0; port <= adapter::max_scsi_port; ++port) {
      char name[adapter::port_name_size] = {};
      (void)adapter::probe_scsi_port(port, name, adapter::name_form::short_);
    }
  }
  const double probe_seconds = std::chrono::duration<double>(clock_type::now() - probe_start).count();

  const double kvxls_rate = static_cast<double>(kvxls_exchanges) / kvxls_seconds;
  const double bare_rate = static_cast<double>(bare_exchanges) / bare_seconds;
  std::printf("kvxls over %d adapters: %.1f ms per run (%d runs, %llu exchanges each)\n", adapter_count,
              1000.0 * kvxls_seconds / runs, runs, kvxls_exchanges / runs);
  std::printf("kvxls: %.0f exchanges/s; bare loop: %.0f exchanges/s; ratio bare/kvxls %.2fx (target 1.1x)\n",
              kvxls_rate, bare_rate, bare_rate / kvxls_rate);
  std::printf("port map walk (128 probes): %.1f ms; bare exchanges of one run: %.1f ms\n",
              1000.0 * probe_seconds / runs, 1000.0 * bare_seconds / runs);
  std::filesystem::remove_all(root, ec);
  return 0;
}
