#include "platform/sim/service_state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/sim/host_root.h"

namespace kvx::sim {
namespace {

// /proc/<pid>/stat: "pid (comm) state ppid ...": the name may hold spaces and
// parentheses, so the fields are counted from the last ')'.
bool read_stat_fields(long pid, char& state, unsigned long long& start_time) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!in || !std::getline(in, text)) return false;
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 1));
  std::vector<std::string> words;
  for (std::string w; fields >> w;) words.push_back(w);
  // words[0] is field 3 (state); field 22 (starttime) is words[19].
  if (words.size() < 20 || words[0].empty()) return false;
  state = words[0][0];
  char* end = nullptr;
  start_time = std::strtoull(words[19].c_str(), &end, 10);
  return end != nullptr && *end == '\0';
}

bool parse_number(const std::string& text, unsigned long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtoull(text.c_str(), &end, 10);
  return end != nullptr && *end == '\0';
}

// This process's identity, read once per process (a forked child reads its own).
bool own_identity(process_identity& out) {
  static std::atomic<long> cached_pid{0};
  static std::atomic<unsigned long long> cached_start{0};
  const long pid = ::getpid();
  if (cached_pid.load() == pid) {
    out.pid = pid;
    out.start_time = cached_start.load();
    return true;
  }
  if (!read_process_identity(pid, out)) return false;
  cached_start.store(out.start_time);
  cached_pid.store(pid);
  return true;
}

// "<pid>.<start time>.<serial>": the holder of a handle file.
bool parse_handle_name(const std::string& name, process_identity& out) {
  const std::size_t first = name.find('.');
  const std::size_t second = first == std::string::npos ? std::string::npos : name.find('.', first + 1);
  unsigned long long pid = 0;
  unsigned long long start = 0;
  if (second == std::string::npos || !parse_number(name.substr(0, first), pid) ||
      !parse_number(name.substr(first + 1, second - first - 1), start)) {
    return false;
  }
  out.pid = static_cast<long>(pid);
  out.start_time = start;
  return true;
}

}  // namespace

bool read_process_identity(long pid, process_identity& out) {
  char state = 0;
  unsigned long long start = 0;
  if (pid <= 0 || !read_stat_fields(pid, state, start)) return false;
  out.pid = pid;
  out.start_time = start;
  return true;
}

bool process_alive(const process_identity& process) {
  char state = 0;
  unsigned long long start = 0;
  if (process.pid <= 0 || !read_stat_fields(process.pid, state, start)) return false;
  return start == process.start_time && state != 'Z' && state != 'X' && state != 'x';
}

std::filesystem::path service_directory(const std::string& name) {
  std::string lower;
  for (const char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::filesystem::path dir = host_dir("services") / lower;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

bool read_service_record(const std::filesystem::path& dir, service_record& out) {
  std::ifstream in(dir / "status");
  if (!in) return false;
  service_record r;
  bool have_state = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string key;
    std::string text;
    unsigned long long value = 0;
    if (!(words >> key >> text) || !parse_number(text, value)) continue;
    const auto v32 = static_cast<std::uint32_t>(value);
    if (key == "pid") r.process.pid = static_cast<long>(value);
    if (key == "start_time") r.process.start_time = value;
    if (key == "type") r.status.service_type = v32;
    if (key == "state") {
      r.status.current_state = v32;
      have_state = true;
    }
    if (key == "controls") r.status.controls_accepted = v32;
    if (key == "win32_exit_code") r.status.win32_exit_code = v32;
    if (key == "service_exit_code") r.status.service_specific_exit_code = v32;
    if (key == "check_point") r.status.check_point = v32;
    if (key == "wait_hint") r.status.wait_hint = v32;
  }
  if (!have_state) return false;
  out = r;
  return true;
}

bool write_service_record(const std::filesystem::path& dir, const service_record& record) {
  const platform::service_status& s = record.status;
  char text[512];
  const int n =
      std::snprintf(text, sizeof text,
                    "pid %ld\nstart_time %llu\ntype %u\nstate %u\ncontrols %u\nwin32_exit_code %u\n"
                    "service_exit_code %u\ncheck_point %u\nwait_hint %u\n",
                    record.process.pid, record.process.start_time, s.service_type, s.current_state, s.controls_accepted,
                    s.win32_exit_code, s.service_specific_exit_code, s.check_point, s.wait_hint);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof text) return false;
  // A unique temporary in the same directory, so that concurrent writers never
  // share one and the rename replaces the file whole.
  std::string temp = (dir / "status.XXXXXX").string();
  unique_fd fd(::mkstemp(temp.data()));
  if (!fd.valid()) return false;
  bool ok = ::write(fd.get(), text, static_cast<std::size_t>(n)) == n;
  ok = ::close(fd.release()) == 0 && ok;
  if (ok) ok = std::rename(temp.c_str(), (dir / "status").c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // One short line per record, appended whole (O_APPEND), for people and tests
  // that follow the transitions rather than the last state.
  unique_fd history(::open((dir / "history").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  const int m = std::snprintf(text, sizeof text, "state %u win32_exit_code %u\n", s.current_state, s.win32_exit_code);
  if (history.valid() && m > 0 && ::write(history.get(), text, static_cast<std::size_t>(m)) != m) {
    // The history is a convenience; the status file is what counts.
  }
  return true;
}

platform::service_status effective_status(bool have_record, const service_record& record) {
  platform::service_status s = record.status;
  if (!have_record) {
    s = platform::service_status{};
    s.win32_exit_code = win::error_service_never_started;
    return s;
  }
  if (s.current_state == win::service_stopped) {
    s.controls_accepted = 0;  // a stopped service takes no control, whatever it last reported
    return s;
  }
  if (!process_alive(record.process)) {
    s.current_state = win::service_stopped;
    s.controls_accepted = 0;
    s.win32_exit_code = win::error_process_aborted;
    s.service_specific_exit_code = 0;
    s.check_point = 0;
    s.wait_hint = 0;
  }
  return s;
}

std::filesystem::path record_open_handle(const std::filesystem::path& dir) {
  static std::atomic<unsigned> serial{0};
  process_identity self;
  if (!own_identity(self)) return {};
  const std::filesystem::path handles = dir / "handles";
  std::error_code ec;
  std::filesystem::create_directories(handles, ec);
  const std::filesystem::path file =
      handles / (std::to_string(self.pid) + "." + std::to_string(self.start_time) + "." + std::to_string(++serial));
  unique_fd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  return fd.valid() ? file : std::filesystem::path();
}

void forget_open_handle(const std::filesystem::path& file) {
  if (!file.empty()) ::unlink(file.c_str());
}

int live_handle_count(const std::filesystem::path& dir) {
  int live = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir / "handles", ec), end; !ec && it != end; it.increment(ec)) {
    process_identity holder;
    if (parse_handle_name(it->path().filename().string(), holder) && process_alive(holder)) {
      ++live;
    } else {
      ::unlink(it->path().c_str());
    }
  }
  return live;
}

unique_fd lock_handles(const std::filesystem::path& dir) {
  unique_fd lock(::open((dir / "handles.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock.valid()) return lock;
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return unique_fd();
  }
  return lock;
}

void remove_run_state(const std::filesystem::path& dir) {
  for (const char* name : {"status", "history", "control"}) ::unlink((dir / name).c_str());
}

std::filesystem::path control_ack_path(const std::filesystem::path& dir, std::uint32_t pid, std::uint32_t serial) {
  return dir / ("ack." + std::to_string(pid) + "." + std::to_string(serial));
}

}  // namespace kvx::sim
