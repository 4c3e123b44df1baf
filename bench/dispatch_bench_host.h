// What both dispatch benchmarks need: a throw-away simulated host (its own
// KVX_HOST_ROOT, removed at the end) with the two list files, and a summary
// of measured durations.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "simulator/background.h"
#include "tests/support/lists.h"

namespace kvx::bench {

class bench_host {
 public:
  bench_host() {
    std::string templ = (std::filesystem::temp_directory_path() / "kvx-bench-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) return;
    root_ = templ;
    ::setenv("KVX_HOST_ROOT", root_.c_str(), 1);
    (void)test::write_shipped_lists();
  }
  ~bench_host() {
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  bench_host(const bench_host&) = delete;
  bench_host& operator=(const bench_host&) = delete;

  bool ready() const { return !root_.empty(); }

 private:
  std::filesystem::path root_;
};

/// Starts, in this process, the driver simulator with the one adapter of the
/// dispatch benchmarks (port 2, location 020a). false, said on the standard
/// error as `who`'s, when it does not start.
inline bool start_one_adapter(simulator::background_server& server, const char* who) {
  simulator::adapter_config adapter;
  adapter.port = 2;
  adapter.pci_location = 0x020A;
  std::string error;
  if (server.start({adapter}, error) == 0) return true;
  std::fprintf(stderr, "%s: simulator: %s\n", who, error.c_str());
  return false;
}

/// The value below which `fraction` of the samples lie (nearest rank).
inline double percentile_ms(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(rank, samples.size() - 1)];
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace kvx::bench
