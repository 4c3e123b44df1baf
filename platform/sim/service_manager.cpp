// The service manager of the simulated host. Services are registered where
// Windows keeps them, HKLM\SYSTEM\CurrentControlSet\Services\NAME (Type,
// Start, ErrorControl, ImagePath, DisplayName, ObjectName, DependOnService,
// Group); a key counts as a service when it has a "Type" value. Their run
// state is in the service directory (service_state.h).
//
// DeleteService marks the service as Windows does, with a "DeleteFlag" value
// in its key; the key goes once the service's process has ended and no live
// process holds a handle to it (service_state.h: handles/). Nothing runs to
// notice that moment: whoever next opens, creates or closes a handle to the
// service finishes the deletion.
//
// Differences from Windows, by intent: dependencies are not started (the
// system services they name, such as RPCSS, do not exist here); a started
// program inherits the starting program's environment (the host root with it)
// and runs in the host root as its working directory.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/sim/host_root.h"
#include "platform/sim/service_state.h"
#include "platform/win_codes.h"

extern char** environ;

namespace kvx::sim {
namespace {

using platform::service_config;
using platform::service_status;

constexpr std::uint32_t service_pause_continue_access = 0x0040;
constexpr std::uint32_t service_user_defined_control_access = 0x0100;
constexpr std::uint32_t error_bad_exe_format = 193;
constexpr unsigned close_range_cloexec = 4;  // CLOSE_RANGE_CLOEXEC of <linux/close_range.h>
// How long ControlService waits for the service's handler, as on Windows.
constexpr auto control_wait = std::chrono::seconds(30);
constexpr int control_poll_ms = 50;
constexpr const char* preshutdown_timeout_value = "PreshutdownTimeout";
// What Windows waits after the preshutdown control when the service set nothing.
constexpr std::uint32_t default_preshutdown_timeout_ms = 10000;

std::string service_key(const std::string& name) { return "SYSTEM\\CurrentControlSet\\Services\\" + name; }

std::uint32_t query_dword(platform::registry_key& key, const char* name, std::uint32_t& out) {
  std::uint32_t type = 0;
  std::uint8_t bytes[4] = {};
  std::uint32_t size = sizeof bytes;
  const std::uint32_t rc = key.query_value(name, &type, bytes, &size);
  if (rc != win::error_success) return rc;
  if (type != win::reg_dword || size != 4) return win::error_invalid_data;
  out = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
        static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  return win::error_success;
}

// Any value read as bytes; absent values give an empty result.
std::vector<std::uint8_t> query_bytes(platform::registry_key& key, const char* name) {
  std::uint32_t size = 0;
  if (key.query_value(name, nullptr, nullptr, &size) != win::error_success || size == 0) return {};
  std::vector<std::uint8_t> data(size);
  if (key.query_value(name, nullptr, data.data(), &size) != win::error_success) return {};
  data.resize(size);
  return data;
}

std::string query_text(platform::registry_key& key, const char* name) {
  const std::vector<std::uint8_t> data = query_bytes(key, name);
  std::string text(data.begin(), data.end());
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

std::vector<std::string> query_multi_text(platform::registry_key& key, const char* name) {
  const std::vector<std::uint8_t> data = query_bytes(key, name);
  std::vector<std::string> out;
  std::string word;
  for (const std::uint8_t b : data) {
    if (b != 0) {
      word += static_cast<char>(b);
    } else if (!word.empty()) {
      out.push_back(word);
      word.clear();
    } else {
      break;  // the empty string that ends the list
    }
  }
  if (!word.empty()) out.push_back(word);
  return out;
}

std::uint32_t set_dword(platform::registry_key& key, const char* name, std::uint32_t value) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return key.set_value(name, win::reg_dword, bytes, 4);
}

std::uint32_t set_text(platform::registry_key& key, const char* name, std::uint32_t type, const std::string& text) {
  return key.set_value(name, type, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                       static_cast<std::uint32_t>(text.size() + 1));
}

std::uint32_t set_multi_text(platform::registry_key& key, const char* name, const std::vector<std::string>& words) {
  std::string data;
  for (const std::string& w : words) {
    data += w;
    data += '\0';
  }
  data += '\0';
  return key.set_value(name, win::reg_multi_sz, reinterpret_cast<const std::uint8_t*>(data.data()),
                       static_cast<std::uint32_t>(data.size()));
}

// An ImagePath as the manager runs it: a quoted program path, or one up to the
// first blank, then blank-separated arguments.
std::vector<std::string> split_image_path(const std::string& image) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < image.size() && image[i] == ' ') ++i;
  if (i < image.size() && image[i] == '"') {
    const std::size_t end = image.find('"', i + 1);
    words.push_back(image.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1));
    i = end == std::string::npos ? image.size() : end + 1;
  }
  while (i < image.size()) {
    while (i < image.size() && image[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < image.size() && image[i] != ' ') ++i;
    if (i > start) words.push_back(image.substr(start, i - start));
  }
  return words;
}

std::uint32_t windows_error_of(int err) {
  switch (err) {
    case ENOENT:
      return win::error_file_not_found;
    case ENOTDIR:
      return win::error_path_not_found;
    case EACCES:
    case EPERM:
      return win::error_access_denied;
    case ENOEXEC:
      return error_bad_exe_format;
    case ENOMEM:
      return win::error_not_enough_memory;
    default:
      return win::error_gen_failure;
  }
}

// Reads until `size` bytes or end of file; the count read.
std::size_t read_fully(int fd, void* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, static_cast<char*>(buffer) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void write_byte(int fd) {
  const char go = 'g';
  while (::write(fd, &go, 1) < 0 && errno == EINTR) {
  }
}

// Starts the program of a service detached from the caller (own session,
// standard input from /dev/null, output to output.log) and waits only until
// its exec has succeeded or failed. The status file names the new process
// before it may run a single instruction of the program, so that its
// dispatcher finds itself there.
std::uint32_t launch(const std::filesystem::path& dir, const std::vector<std::string>& words) {
  std::vector<std::string> args = words;
  args[0] = platform::host_program_path(words[0]);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string control_setting = std::string(service_control_variable) + "=" + dir.string();
  const std::string prefix = std::string(service_control_variable) + "=";
  std::vector<std::string> env_words{control_setting};
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0) env_words.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (std::string& e : env_words) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string root = host_root().string();

  const std::string fifo = (dir / "control").string();
  ::unlink(fifo.c_str());
  if (::mkfifo(fifo.c_str(), 0600) != 0) return windows_error_of(errno);
  unique_fd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  unique_fd output(::open((dir / "output.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!null_in.valid() || !output.valid()) return windows_error_of(errno);
  int go_pipe[2];
  int error_pipe[2];
  if (::pipe2(go_pipe, O_CLOEXEC) != 0) return windows_error_of(errno);
  unique_fd go_read(go_pipe[0]);
  unique_fd go_write(go_pipe[1]);
  if (::pipe2(error_pipe, O_CLOEXEC) != 0) return windows_error_of(errno);
  unique_fd error_read(error_pipe[0]);
  unique_fd error_write(error_pipe[1]);

  const pid_t child = ::fork();
  if (child < 0) return windows_error_of(errno);
  if (child == 0) {
    // Only async-signal-safe calls from here to the exec.
    ::close(go_write.get());
    char go = 0;
    if (::read(go_read.get(), &go, 1) != 1) ::_exit(127);
    ::setsid();
    if (::chdir(root.c_str()) != 0) {
      // The working directory is a convenience; the program runs without it.
    }
    ::dup2(null_in.get(), 0);
    ::dup2(output.get(), 1);
    ::dup2(output.get(), 2);
    // Nothing else of the starting program reaches the service.
    if (::close_range(3, ~0U, close_range_cloexec) != 0) {
      for (int fd = 3; fd < 1024; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    ::execve(argv[0], argv.data(), envp.data());
    const int err = errno;
    if (::write(error_write.get(), &err, sizeof err) < 0) {
      // Nobody left to tell.
    }
    ::_exit(127);
  }
  go_read.reset();
  error_write.reset();
  if (::truncate((dir / "history").c_str(), 0) != 0) {
    // No history yet: the first record makes it.
  }
  service_record record;
  record.status.current_state = win::service_start_pending;
  record.status.controls_accepted = 0;
  record.status.wait_hint = 2000;
  if (!read_process_identity(child, record.process) || !write_service_record(dir, record)) {
    go_write.reset();  // the child sees end of file and ends
    ::waitpid(child, nullptr, 0);
    return win::error_gen_failure;
  }
  write_byte(go_write.get());
  go_write.reset();
  int err = 0;
  if (read_fully(error_read.get(), &err, sizeof err) != sizeof err) return win::error_success;
  ::waitpid(child, nullptr, 0);
  record.status.current_state = win::service_stopped;
  record.status.win32_exit_code = windows_error_of(err);
  record.status.wait_hint = 0;
  if (!write_service_record(dir, record)) {
    // The process has ended; it is seen as stopped all the same.
  }
  return windows_error_of(err);
}

enum class presence { absent, present, marked };

// What the registry says of the service, finishing a pending deletion when
// nothing holds the service any more. Called with the handles lock held.
presence lookup(const std::string& name) {
  platform::unique_reg_key key;
  if (platform::host_registry().open_key(platform::hive_root::local_machine, service_key(name).c_str(), win::key_read,
                                         key) != win::error_success) {
    return presence::absent;
  }
  std::uint32_t value = 0;
  if (query_dword(*key, "Type", value) != win::error_success) return presence::absent;
  if (query_dword(*key, "DeleteFlag", value) != win::error_success || value == 0) return presence::present;
  key.reset();
  const std::filesystem::path dir = service_directory(name);
  service_record record;
  if (read_service_record(dir, record) && process_alive(record.process)) return presence::marked;
  if (live_handle_count(dir) > 0) return presence::marked;
  const std::uint32_t rc =
      platform::host_registry().delete_key(platform::hive_root::local_machine, service_key(name).c_str());
  if (rc != win::error_success && rc != win::error_file_not_found) return presence::marked;
  remove_run_state(dir);
  return presence::absent;
}

std::uint32_t presence_error(presence p) {
  return p == presence::marked ? win::error_service_marked_for_delete : win::error_service_does_not_exist;
}

// Waits for the acknowledgement of one control: error_success once the
// handler has run, error_service_not_active when the service process ends
// first, error_service_request_timeout after control_wait.
std::uint32_t await_control_ack(int ack, const process_identity& service_process) {
  const auto limit = std::chrono::steady_clock::now() + control_wait;
  for (;;) {
    pollfd fd = {ack, POLLIN, 0};
    const int n = ::poll(&fd, 1, control_poll_ms);
    if (n < 0 && errno != EINTR) return win::error_gen_failure;
    if (n > 0 && (fd.revents & POLLIN) != 0) return win::error_success;
    if (!process_alive(service_process)) return win::error_service_not_active;
    if (std::chrono::steady_clock::now() >= limit) return win::error_service_request_timeout;
  }
}

// Hands one control to the service's dispatcher through its FIFO and waits
// for the handler to have run (await_control_ack).
std::uint32_t deliver_control(const std::filesystem::path& dir, std::uint32_t code,
                              const process_identity& service_process) {
  unique_fd fifo(::open((dir / "control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fifo.valid()) return win::error_service_not_active;
  // The acknowledgement FIFO is opened for reading and writing, so that it
  // neither blocks the open nor reads as ended before the dispatcher writes.
  static std::atomic<std::uint32_t> serial{0};
  control_message message;
  message.code = code;
  message.pid = static_cast<std::uint32_t>(::getpid());
  message.serial = ++serial;
  const std::filesystem::path ack_path = control_ack_path(dir, message.pid, message.serial);
  ::unlink(ack_path.c_str());
  if (::mkfifo(ack_path.c_str(), 0600) != 0) return windows_error_of(errno);
  unique_fd ack(::open(ack_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  std::uint8_t bytes[control_message_size];
  std::memcpy(bytes, &message.code, 4);
  std::memcpy(bytes + 4, &message.pid, 4);
  std::memcpy(bytes + 8, &message.serial, 4);
  std::uint32_t rc = win::error_success;
  if (!ack.valid()) {
    rc = windows_error_of(errno);
  } else if (::write(fifo.get(), bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) {
    rc = win::error_service_not_active;
  } else {
    rc = await_control_ack(ack.get(), service_process);
  }
  ack.reset();
  ::unlink(ack_path.c_str());
  return rc;
}

class sim_service final : public platform::service_handle {
 public:
  /// Made with the handles lock held, so that a final deletion sees it.
  sim_service(std::string name, std::uint32_t access)
      : name_(std::move(name)), access_(access), handle_file_(record_open_handle(service_directory(name_))) {}

  ~sim_service() override {
    forget_open_handle(handle_file_);
    // The last handle of a service marked for deletion takes it away.
    const unique_fd lock = lock_handles(service_directory(name_));
    if (lock.valid() && lookup(name_) == presence::absent) {
      // Deleted, or never there.
    }
  }
  sim_service(const sim_service&) = delete;
  sim_service& operator=(const sim_service&) = delete;

  std::uint32_t start() override {
    if (!allowed(win::service_start)) return win::error_access_denied;
    service_config config;
    if (const std::uint32_t rc = read_config(config); rc != win::error_success) return rc;
    if (marked()) return win::error_service_marked_for_delete;
    if (config.start_type == win::service_disabled) return win::error_service_disabled;
    const std::vector<std::string> words = split_image_path(config.binary_path);
    if (words.empty() || words[0].empty()) return win::error_file_not_found;
    const std::filesystem::path dir = service_directory(name_);
    unique_fd lock(::open((dir / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock.valid()) return windows_error_of(errno);
    while (::flock(lock.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return windows_error_of(errno);
    }
    service_record record;
    const bool have = read_service_record(dir, record);
    if (effective_status(have, record).current_state != win::service_stopped) {
      return win::error_service_already_running;
    }
    return launch(dir, words);
  }

  std::uint32_t control(std::uint32_t code, service_status& status) override {
    if (!allowed(access_for(code))) return win::error_access_denied;
    const std::filesystem::path dir = service_directory(name_);
    service_record record;
    const bool have = read_service_record(dir, record);
    const service_status now = effective_status(have, record);
    if (now.current_state == win::service_stopped) return win::error_service_not_active;
    if (code != win::service_control_interrogate &&
        (now.current_state == win::service_start_pending || now.current_state == win::service_stop_pending)) {
      return win::error_service_cannot_accept_ctrl;
    }
    if (code == win::service_control_stop && (now.controls_accepted & win::service_accept_stop) == 0) {
      return win::error_invalid_service_control;
    }
    const std::uint32_t rc = deliver_control(dir, code, record.process);
    if (rc != win::error_success) return rc;
    // What the handler reported while it ran.
    const bool have_now = read_service_record(dir, record);
    status = effective_status(have_now, record);
    return win::error_success;
  }

  std::uint32_t remove() override {
    if (!allowed(win::delete_access)) return win::error_access_denied;
    platform::unique_reg_key key;
    if (platform::host_registry().open_key(platform::hive_root::local_machine, service_key(name_).c_str(),
                                           win::key_all_access, key) != win::error_success) {
      return win::error_service_does_not_exist;
    }
    std::uint32_t flag = 0;
    if (query_dword(*key, "DeleteFlag", flag) == win::error_success && flag != 0) {
      return win::error_service_marked_for_delete;
    }
    // This handle is open, so the deletion itself waits for its close at least.
    return set_dword(*key, "DeleteFlag", 1);
  }

  std::uint32_t query_config(service_config& out) override {
    if (!allowed(win::service_query_config)) return win::error_access_denied;
    return read_config(out);
  }

  std::uint32_t set_preshutdown_timeout(std::uint32_t milliseconds) override {
    if (!allowed(win::service_change_config)) return win::error_access_denied;
    platform::unique_reg_key key;
    if (platform::host_registry().open_key(platform::hive_root::local_machine, service_key(name_).c_str(),
                                           win::key_all_access, key) != win::error_success) {
      return win::error_service_does_not_exist;
    }
    // Where Windows keeps it too.
    return set_dword(*key, preshutdown_timeout_value, milliseconds);
  }

  std::uint32_t query_status(service_status& out) override {
    if (!allowed(win::service_query_status)) return win::error_access_denied;
    service_record record;
    const bool have = read_service_record(service_directory(name_), record);
    out = effective_status(have, record);
    return win::error_success;
  }

 private:
  bool allowed(std::uint32_t right) const { return (access_ & right) == right; }

  bool marked() const {
    platform::unique_reg_key key;
    std::uint32_t flag = 0;
    return platform::host_registry().open_key(platform::hive_root::local_machine, service_key(name_).c_str(),
                                              win::key_read, key) == win::error_success &&
           query_dword(*key, "DeleteFlag", flag) == win::error_success && flag != 0;
  }

  static std::uint32_t access_for(std::uint32_t code) {
    switch (code) {
      case win::service_control_stop:
        return win::service_stop;
      case win::service_control_pause:
      case win::service_control_continue:
        return service_pause_continue_access;
      case win::service_control_interrogate:
        return win::service_interrogate;
      default:
        return service_user_defined_control_access;
    }
  }

  std::uint32_t read_config(service_config& out) const {
    platform::unique_reg_key key;
    const std::uint32_t rc = platform::host_registry().open_key(platform::hive_root::local_machine,
                                                                service_key(name_).c_str(), win::key_read, key);
    if (rc != win::error_success) return win::error_service_does_not_exist;
    service_config c;
    if (query_dword(*key, "Type", c.service_type) != win::error_success) return win::error_service_does_not_exist;
    if (query_dword(*key, "Start", c.start_type) != win::error_success) c.start_type = win::service_demand_start;
    if (query_dword(*key, "ErrorControl", c.error_control) != win::error_success) {
      c.error_control = win::service_error_normal;
    }
    c.binary_path = query_text(*key, "ImagePath");
    c.load_order_group = query_text(*key, "Group");
    c.dependencies = query_multi_text(*key, "DependOnService");
    c.account = query_text(*key, "ObjectName");
    c.display_name = query_text(*key, "DisplayName");
    if (c.display_name.empty()) c.display_name = name_;
    out = c;
    return win::error_success;
  }

  std::string name_;
  std::uint32_t access_;
  std::filesystem::path handle_file_;
};

bool valid_service_name(const char* name) {
  if (name == nullptr || *name == '\0' || std::strlen(name) > 256) return false;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c == '/' || *c == '\\') return false;
  }
  return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

class sim_manager final : public platform::service_manager_handle {
 public:
  std::uint32_t open_service(const char* name, std::uint32_t access, platform::unique_service& out) override {
    if (!valid_service_name(name)) return win::error_invalid_parameter;
    platform::unique_service made;
    {
      const unique_fd lock = lock_handles(service_directory(name));
      if (const presence p = lookup(name); p != presence::present) return presence_error(p);
      made = std::make_unique<sim_service>(name, access);
    }
    // A handle that `out` held before closes only now, outside the lock its
    // close takes.
    out = std::move(made);
    return win::error_success;
  }

  std::uint32_t create_service(const char* name, std::uint32_t access, const service_config& config,
                               platform::unique_service& out) override {
    if (!valid_service_name(name)) return win::error_invalid_parameter;
    platform::unique_service made;
    std::uint32_t rc = win::error_success;
    {
      const unique_fd lock = lock_handles(service_directory(name));
      rc = create_held(name, access, config, made);
    }
    if (rc == win::error_success) out = std::move(made);
    return rc;
  }

 private:
  // CreateServiceA with the handles lock held.
  static std::uint32_t create_held(const char* name, std::uint32_t access, const service_config& config,
                                   platform::unique_service& out) {
    if (const presence p = lookup(name); p != presence::absent) {
      return p == presence::marked ? win::error_service_marked_for_delete : win::error_service_exists;
    }
    platform::unique_reg_key key;
    bool created = false;
    std::uint32_t rc = platform::host_registry().create_key(
        platform::hive_root::local_machine, service_key(name).c_str(), win::key_all_access, key, &created);
    if (rc != win::error_success) return rc;
    const std::string account = config.account.empty() ? "LocalSystem" : config.account;
    const std::string display = config.display_name.empty() ? name : config.display_name;
    // "Type" goes last: until it is there the key is not a service.
    if (rc == win::error_success) rc = set_dword(*key, "Start", config.start_type);
    if (rc == win::error_success) rc = set_dword(*key, "ErrorControl", config.error_control);
    if (rc == win::error_success) rc = set_text(*key, "ImagePath", win::reg_expand_sz, config.binary_path);
    if (rc == win::error_success) rc = set_text(*key, "DisplayName", win::reg_sz, display);
    if (rc == win::error_success) rc = set_text(*key, "ObjectName", win::reg_sz, account);
    if (rc == win::error_success && !config.load_order_group.empty()) {
      rc = set_text(*key, "Group", win::reg_sz, config.load_order_group);
    }
    if (rc == win::error_success && !config.dependencies.empty()) {
      rc = set_multi_text(*key, "DependOnService", config.dependencies);
    }
    if (rc == win::error_success) rc = set_dword(*key, "Type", config.service_type);
    if (rc != win::error_success) return rc;
    out = std::make_unique<sim_service>(name, access);
    return win::error_success;
  }
};

class sim_service_control final : public platform::service_control {
 public:
  std::uint32_t run_dispatcher(const char* service_name,
                               const std::function<void(platform::service_session&)>& service_main) override {
    return run_service_dispatcher(service_name, service_main);
  }

  std::uint32_t open_manager(std::uint32_t, platform::unique_service_manager& out) override {
    out = std::make_unique<sim_manager>();
    return win::error_success;
  }
};

}  // namespace

std::uint32_t send_system_control(const std::string& name, std::uint32_t code) {
  const std::filesystem::path dir = service_directory(name);
  service_record record;
  if (!read_service_record(dir, record) || !process_alive(record.process)) return win::error_service_not_active;
  return deliver_control(dir, code, record.process);
}

std::uint32_t preshutdown_timeout_of(const std::string& name) {
  platform::unique_reg_key key;
  std::uint32_t timeout = 0;
  if (platform::host_registry().open_key(platform::hive_root::local_machine, service_key(name).c_str(), win::key_read,
                                         key) != win::error_success ||
      query_dword(*key, preshutdown_timeout_value, timeout) != win::error_success) {
    return default_preshutdown_timeout_ms;
  }
  return timeout;
}

}  // namespace kvx::sim

namespace kvx::platform {

service_control& backend_services() {
  static sim::sim_service_control services;
  return services;
}

}  // namespace kvx::platform
