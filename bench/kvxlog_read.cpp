// kvxlog reading a full log file (4096 entries as hbalogd writes them with
// its default sizes: a 104-byte event dump and 1024 bytes of detail data)
// and a folder of 128 such files, in summary and JSON form, written to the
// null device, next to one sequential read of the same bytes (64 KiB reads)
// in the same run. The three take turns in rounds and each is timed by its
// fastest round. The folder's files are hard links of one file: 128 copies
// would take 2 GiB of disk, and both sides read them through the same cache.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "kvxlog/options.h"
#include "kvxlog/program.h"
#include "tests/kvxlog/ring_model.h"

namespace {

using namespace kvx;
constexpr int rounds = 5;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool read_bytes(const std::string& path, std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes.clear();
  std::array<char, 1 << 16> chunk{};
  std::size_t got = 0;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) bytes.append(chunk.data(), got);
  std::fclose(f);
  return true;
}

double sequential(const std::vector<std::string>& paths, std::size_t& total) {
  const auto start = std::chrono::steady_clock::now();
  std::string bytes;
  total = 0;
  for (const std::string& p : paths) {
    if (!read_bytes(p, bytes)) return -1;
    total += bytes.size();
  }
  return seconds_since(start);
}

double shown(const std::vector<std::string>& paths, kvxlog::output_form form, std::FILE* sink, std::size_t& entries) {
  kvxlog::options opts;
  opts.form = form;
  std::string bytes;
  std::string out;
  std::string problems;
  entries = 0;
  // The lines are counted outside the timed part: the count is the
  // benchmark's own check, not kvxlog's work.
  double timed = 0;
  for (const std::string& p : paths) {
    const auto start = std::chrono::steady_clock::now();
    if (!read_bytes(p, bytes)) return -1;
    out.clear();
    kvxlog::show_file(bytes, kvxlog::file_label{p, std::string("0208")}, opts, out, problems);
    std::fwrite(out.data(), 1, out.size(), sink);
    timed += seconds_since(start);
    entries += static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
  }
  const auto start = std::chrono::steady_clock::now();
  std::fflush(sink);
  timed += seconds_since(start);
  return problems.empty() ? timed : -1;
}

void measure(const char* what, const std::vector<std::string>& paths, std::FILE* sink) {
  double best_read = 1e9;
  double best_summary = 1e9;
  double best_json = 1e9;
  std::size_t bytes = 0;
  std::size_t summary_lines = 0;
  std::size_t json_lines = 0;
  for (int r = 0; r < rounds; ++r) {
    best_read = std::min(best_read, sequential(paths, bytes));
    best_summary = std::min(best_summary, shown(paths, kvxlog::output_form::summary, sink, summary_lines));
    best_json = std::min(best_json, shown(paths, kvxlog::output_form::json, sink, json_lines));
  }
  if (best_read <= 0 || best_summary <= 0 || best_json <= 0) {
    std::printf("%s: a run failed\n", what);
    return;
  }
  std::printf("%s: %zu bytes, %zu entries\n", what, bytes, json_lines);
  std::printf("  sequential read   %8.1f ms  (%6.0f MB/s)\n", best_read * 1000, bytes / best_read / 1e6);
  std::printf("  kvxlog -summary   %8.1f ms  ratio %.2f (target within 5x)\n", best_summary * 1000,
              best_summary / best_read);
  std::printf("  kvxlog -json      %8.1f ms  ratio %.2f (target within 5x)\n", best_json * 1000, best_json / best_read);
  if (summary_lines != json_lines) std::printf("  the forms gave %zu and %zu lines\n", summary_lines, json_lines);
}

}  // namespace

int main() {
  char pattern[] = "/tmp/kvxlog-bench.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const std::filesystem::path dir = pattern;
  test::ring_model model(4096);
  for (std::uint32_t n = 1; n <= 4096; ++n) {
    test::entry_parts e;
    e.record = n;
    e.event_data.assign(104, static_cast<std::uint8_t>(n));
    e.detail->assign(1024, static_cast<std::uint8_t>(n >> 4));
    model.write(e);
  }
  const std::string one = (dir / "kvx0208.log").string();
  if (std::FILE* f = std::fopen(one.c_str(), "wb")) {
    std::fwrite(model.file().data(), 1, model.file().size(), f);
    std::fclose(f);
  }
  std::vector<std::string> folder;
  std::filesystem::create_directories(dir / "folder");
  for (int i = 0; i < 128; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "kvx%04x.log", 0x0100 + i);
    std::filesystem::create_hard_link(one, dir / "folder" / name);
    folder.push_back((dir / "folder" / name).string());
  }
  std::FILE* sink = std::fopen("/dev/null", "wb");
  if (sink == nullptr) return 1;
  measure("one full file (4096 entries)", {one}, sink);
  measure("a folder of 128 full files", folder, sink);
  std::fclose(sink);
  std::filesystem::remove_all(dir);
  return 0;
}
