#include "tests/faults/fault_rig.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/sim/event_log_file.h"

extern char** environ;

namespace kvx::test {
namespace {

constexpr const char* entry_head = "---- KVXWDD LOG #";
constexpr const char* ungettable_block = "DETAIL DATA WAS UNGETTABLE.\r\nGET LAST ERROR = ";
// The block ahead of an entry without detail data: its two lines, four hex
// digits and an empty line.
constexpr std::size_t ungettable_block_size = 29 + 17 + 4 + 4;

int status_of(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

bool is_root() { return ::geteuid() == 0; }

}  // namespace

child_program::child_program(const std::vector<std::string>& argv, const std::filesystem::path& output,
                             const std::vector<std::string>& extra_env) {
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  std::vector<std::string> env_words;
  for (char** e = environ; *e != nullptr; ++e) env_words.emplace_back(*e);
  env_words.insert(env_words.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> envp;
  for (std::string& e : env_words) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return;
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
  ::posix_spawn_file_actions_destroy(&actions);
}

child_program::~child_program() {
  if (running()) {
    signal(SIGKILL);
    (void)wait(10000);
  }
}

bool child_program::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = status_of(status);
    pid_ = -1;
    return false;
  }
  return true;
}

void child_program::signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

int child_program::wait(int timeout_ms) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (running()) {
    if (std::chrono::steady_clock::now() > limit) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

log_header read_log_header(const std::string& file) {
  log_header h;
  if (file.size() < 16 || file.compare(14, 2, "\r\n") != 0 || file[4] != ' ') return h;
  char* end = nullptr;
  const std::string count = file.substr(0, 4);
  const std::string offset = file.substr(5, 9);
  h.count = static_cast<int>(std::strtol(count.c_str(), &end, 10));
  if (*end != '\0') return h;
  h.offset = static_cast<int>(std::strtol(offset.c_str(), &end, 10));
  if (*end != '\0') return h;
  h.valid = h.count >= 0 && h.offset >= 16;
  return h;
}

std::vector<std::size_t> entry_starts(const std::string& file, std::size_t from, std::size_t to) {
  std::vector<std::size_t> starts;
  for (std::size_t at = file.find(entry_head, from); at != std::string::npos && at < to;
       at = file.find(entry_head, at + 1)) {
    const std::size_t block = at >= ungettable_block_size ? at - ungettable_block_size : std::string::npos;
    const bool after_block = block != std::string::npos && block >= from &&
                             file.compare(block, std::string(ungettable_block).size(), ungettable_block) == 0;
    starts.push_back(after_block ? block : at);
  }
  return starts;
}

std::vector<std::uint32_t> entry_numbers(const std::string& file, std::size_t from, std::size_t to) {
  std::vector<std::uint32_t> numbers;
  const std::size_t head = std::string(entry_head).size();
  for (std::size_t at = file.find(entry_head, from); at != std::string::npos && at < to;
       at = file.find(entry_head, at + 1)) {
    if (at + head < file.size() && file[at + head] == '-') continue;
    numbers.push_back(static_cast<std::uint32_t>(std::strtoul(file.c_str() + at + head, nullptr, 10)));
  }
  return numbers;
}

void fault_run::SetUp() {
  const std::filesystem::path script =
      std::filesystem::path(KVX_TEST_DATA_DIR) / ".." / ".." / "scripts" / "sim-install";
  const command_result installed = run_command({"/bin/bash", script.string(), "--host-root", host_.root().string()});
  ASSERT_EQ(installed.status, 0) << installed.err;
  std::ofstream(host_.root() / "adapters.ini") << "[adapter]\nport = 2\npci_location = 0x0208\n";
  start_simulator();
  const command_result registered = run_command({built_program("logd/host/hbalogd").string(), "/RegServer"});
  ASSERT_EQ(registered.status, 0) << registered.out << registered.err;
}

void fault_run::TearDown() {
  if (service_) (void)stop_service();
  if (simulator_ && simulator_->running()) {
    (void)kvxsim({"stop"});
    if (simulator_->wait(10000) == -1) kill_simulator();
  }
}

void fault_run::start_simulator() {
  simulator_ =
      std::make_unique<child_program>(std::vector<std::string>{built_program("simulator/kvxsim").string(), "run",
                                                               "--config", (host_.root() / "adapters.ini").string()},
                                      host_.root() / "kvxsim.out");
  ASSERT_TRUE(simulator_->started());
  const command_result waited = kvxsim({"wait"});
  ASSERT_EQ(waited.status, 0) << waited.err;
}

void fault_run::kill_simulator() {
  simulator_->signal(SIGKILL);
  EXPECT_EQ(simulator_->wait(10000), 128 + SIGKILL);
}

void fault_run::start_service(bool without_file_override, int retry_cycle_ms) {
  std::vector<std::string> argv;
  if (without_file_override && is_root()) {
    // Root writes a read-only file unless it lacks these capabilities.
    argv = {"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search,-fowner", "--"};
  }
  argv.push_back(built_program("logd/host/hbalogd").string());
  const long before = exchanges();
  service_ = std::make_unique<child_program>(
      argv, host_.root() / "hbalogd.out",
      std::vector<std::string>{"KVX_TEST_RETRY_CYCLE_MS=" + std::to_string(retry_cycle_ms)});
  ASSERT_TRUE(service_->started());
  // The table build asks for the PCI location, the startup scan for ERRLOG;
  // the starting record was taken before either.
  ASSERT_TRUE(eventually([&] { return exchanges() >= before + 2 || !service_->running(); }, 20000)) << service_output();
  ASSERT_TRUE(service_->running()) << service_output();
}

void fault_run::kill_service() {
  service_->signal(SIGKILL);
  EXPECT_EQ(service_->wait(10000), 128 + SIGKILL);
}

int fault_run::stop_service() {
  service_->signal(SIGTERM);
  const int status = service_->wait(10000);
  service_.reset();
  return status;
}

command_result fault_run::kvxsim(const std::vector<std::string>& args) {
  std::vector<std::string> argv{built_program("simulator/kvxsim").string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv);
}

command_result fault_run::simhost(const std::vector<std::string>& args) {
  std::vector<std::string> argv{built_program("simhost/simhost").string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv);
}

std::int64_t fault_run::inject(int error, int slot) {
  const command_result r =
      kvxsim({"inject", "--port", "2", "--error", std::to_string(error), "--slot", std::to_string(slot)});
  const std::size_t at = r.out.find("System record ");
  if (r.status != 0 || at == std::string::npos) return -1;
  return std::strtoll(r.out.c_str() + at + 14, nullptr, 10);
}

long fault_run::exchanges() {
  const std::string out = kvxsim({"status"}).out;
  const std::size_t at = out.find("exchanges: ");
  return at == std::string::npos ? 0 : std::strtol(out.c_str() + at + 11, nullptr, 10);
}

std::filesystem::path fault_run::log_dir() const {
  return host_.root() / "drive_c" / "Program Files" / "velmora" / "drivers" / "hba" / "hbalogd" / "log";
}

std::string fault_run::log_text() const {
  std::ifstream in(log_path(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fault_run::wait_for_entry(std::uint32_t number) {
  return eventually(
      [&] {
        const std::string file = log_text();
        const log_header h = read_log_header(file);
        if (!h.valid) return false;
        for (std::uint32_t n : entry_numbers(file, 0, static_cast<std::size_t>(h.offset))) {
          if (n == number) return true;
        }
        return false;
      },
      30000);
}

std::vector<std::string> fault_run::service_reports() {
  std::vector<sim::event_record> records;
  std::vector<std::string> texts;
  if (sim::read_event_log("Application", records) != 0) return texts;
  for (const sim::event_record& r : records) {
    if (!r.strings.empty()) texts.push_back(r.strings[0]);
  }
  return texts;
}

int fault_run::reports_of(const std::string& text) {
  int n = 0;
  for (const std::string& t : service_reports()) n += t == text ? 1 : 0;
  return n;
}

std::string fault_run::service_output() const {
  std::ifstream in(host_.root() / "hbalogd.out", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kvx::test
