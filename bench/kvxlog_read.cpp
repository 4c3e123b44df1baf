// kvxlog reading a full log file (4096 entries as hbalogd writes them with
// its default sizes: a 104-byte event dump and 1024 bytes of detail data)
// and a folder of 128 such files, in summary and JSON form, written to the
// null device in pieces as kvxlog writes them, next to one sequential read
// of the same bytes in 64 KiB reads (kept in one buffer, as a reader that
// needs a file whole keeps them, and only read) in the same run. The four
// take turns in rounds and each is timed by its fastest round. The folder's files are hard links of one file: 128
// copies would take 2 GiB of disk, and both sides read them through the same cache.
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

/// One sequential read of the files in 64 KiB reads. With `keep` each
/// file's bytes are appended to one buffer made as large as the file and
/// reused from file to file, as a reader that needs a file whole keeps them;
/// without it they are only read.
double sequential(const std::vector<std::string>& paths, bool keep, std::size_t& total) {
  const auto start = std::chrono::steady_clock::now();
  std::string bytes;
  std::array<char, 1 << 16> chunk{};
  total = 0;
  for (const std::string& p : paths) {
    std::FILE* f = std::fopen(p.c_str(), "rb");
    if (f == nullptr) return -1;
    bytes.clear();
    if (keep) bytes.reserve(static_cast<std::size_t>(std::filesystem::file_size(p)));
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) {
      if (keep) bytes.append(chunk.data(), got);
      total += got;
    }
    std::fclose(f);
  }
  return seconds_since(start);
}

/// kvxlog's work on each file as the program does it: the file read into a
/// reused buffer, the ring read into a reused one, the output written to
/// `sink` in pieces as it is made. `items` counts the entries and fragments
/// read.
double shown(const std::vector<std::string>& paths, kvxlog::output_form form, std::FILE* sink, std::size_t& items) {
  kvxlog::options opts;
  opts.form = form;
  kvxlog::file_state state;
  std::string out;
  std::string problems;
  items = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& p : paths) {
    if (kvxlog::read_file_bytes(p, state.bytes) != kvxlog::read_result::read) return -1;
    out.clear();
    kvxlog::show_file(state, kvxlog::file_label{p, std::string("0208")}, opts, out, problems, sink);
    std::fwrite(out.data(), 1, out.size(), sink);
    items += state.ring.items.size();
  }
  std::fflush(sink);
  const double timed = seconds_since(start);
  return problems.empty() ? timed : -1;
}

/// The benchmark's own check, untimed: the lines of one file's whole output
/// in `form`.
std::size_t lines_shown(const std::string& path, kvxlog::output_form form) {
  kvxlog::options opts;
  opts.form = form;
  kvxlog::file_state state;
  std::string out;
  std::string problems;
  if (kvxlog::read_file_bytes(path, state.bytes) != kvxlog::read_result::read) return 0;
  kvxlog::show_file(state, kvxlog::file_label{path, std::string("0208")}, opts, out, problems);
  return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
}

void measure(const char* what, const std::vector<std::string>& paths, std::FILE* sink) {
  double best_read = 1e9;
  double best_read_only = 1e9;
  double best_summary = 1e9;
  double best_json = 1e9;
  std::size_t bytes = 0;
  std::size_t items = 0;
  for (int r = 0; r < rounds; ++r) {
    best_read = std::min(best_read, sequential(paths, true, bytes));
    best_read_only = std::min(best_read_only, sequential(paths, false, bytes));
    best_summary = std::min(best_summary, shown(paths, kvxlog::output_form::summary, sink, items));
    best_json = std::min(best_json, shown(paths, kvxlog::output_form::json, sink, items));
  }
  if (best_read <= 0 || best_read_only <= 0 || best_summary <= 0 || best_json <= 0) {
    std::printf("%s: a run failed\n", what);
    return;
  }
  std::printf("%s: %zu bytes, %zu entries\n", what, bytes, items);
  std::printf("  sequential read   %8.1f ms  (%6.0f MB/s; the bytes kept)\n", best_read * 1000,
              bytes / best_read / 1e6);
  std::printf("  read only         %8.1f ms  (%6.0f MB/s; the bytes not kept)\n", best_read_only * 1000,
              bytes / best_read_only / 1e6);
  std::printf("  kvxlog -summary   %8.1f ms  ratio %.2f (%.2f to the read only; target within 5x)\n",
              best_summary * 1000, best_summary / best_read, best_summary / best_read_only);
  std::printf("  kvxlog -json      %8.1f ms  ratio %.2f (%.2f to the read only; target within 5x)\n", best_json * 1000,
              best_json / best_read, best_json / best_read_only);
  const std::size_t per_file = items / paths.size();
  for (kvxlog::output_form form : {kvxlog::output_form::summary, kvxlog::output_form::json}) {
    const std::size_t lines = lines_shown(paths.front(), form);
    if (lines != per_file) std::printf("  a file gave %zu lines for %zu entries\n", lines, per_file);
  }
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
