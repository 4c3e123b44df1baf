#include "tests/e2e_capture/e2e_rig.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace kvx::test {
namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

pid_t spawn(const char* program, const std::vector<std::string>& args, const std::filesystem::path& output,
            const std::vector<std::string>& extra_env) {
  const std::string path = built_program(program).string();
  std::vector<std::string> words{path};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_words;
  for (char** e = environ; *e != nullptr; ++e) env_words.emplace_back(*e);
  env_words.insert(env_words.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> envp;
  for (auto& e : env_words) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int exit_status(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

}  // namespace

command_result run_program(const char* program, const std::vector<std::string>& args) {
  char templ[] = "/tmp/kvx-e2e-out-XXXXXX";
  const int fd = ::mkstemp(templ);
  if (fd >= 0) ::close(fd);
  command_result result;
  const pid_t pid = spawn(program, args, templ, {});
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) result.status = exit_status(status);
  result.output = read_file(templ);
  std::filesystem::remove(templ);
  return result;
}

background_program::background_program(const char* program, const std::vector<std::string>& args,
                                       const std::filesystem::path& output, const std::vector<std::string>& extra_env)
    : pid_(spawn(program, args, output, extra_env)) {}

background_program::~background_program() { (void)stop(); }

bool background_program::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = exit_status(status);
    pid_ = -1;
    return false;
  }
  return true;
}

int background_program::stop() {
  if (pid_ <= 0) return status_;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 100 && running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    (void)::waitpid(pid_, &status, 0);
    status_ = -1;
    pid_ = -1;
  }
  return status_;
}

bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

int occurrences(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

void e2e_capture::start_simulator(const std::string& config) {
  const std::filesystem::path script =
      std::filesystem::path(KVX_TEST_DATA_DIR) / ".." / ".." / "scripts" / "sim-install";
  ASSERT_EQ(std::system(("'" + script.string() + "' >/dev/null").c_str()), 0);
  const auto file = host_.root() / "adapters.ini";
  std::ofstream(file) << config;
  simulator_ = std::make_unique<background_program>(
      "simulator/kvxsim", std::vector<std::string>{"run", "--config", file.string()}, host_.root() / "kvxsim.out");
  const command_result waited = run_program("simulator/kvxsim", {"wait"});
  ASSERT_EQ(waited.status, 0) << waited.output << read_file(host_.root() / "kvxsim.out");
}

void e2e_capture::start_service(int retry_cycle_ms) {
  const command_result reg = run_program("logd/host/hbalogd", {"/RegServer"});
  ASSERT_EQ(reg.status, 0) << reg.output;
  service_ = std::make_unique<background_program>(
      "logd/host/hbalogd", std::vector<std::string>{}, host_.root() / "hbalogd.out",
      std::vector<std::string>{"KVX_TEST_RETRY_CYCLE_MS=" + std::to_string(retry_cycle_ms)});
  // The watch has taken its starting record once the startup scan has asked
  // every adapter for its detail data: its PCI location, then ERRLOG.
  ASSERT_TRUE(wait_until(
      [&] {
        const std::string status = run_program("simulator/kvxsim", {"status"}).output;
        int ports = 0;
        int ready = 0;
        for (std::size_t at = status.find("exchanges: "); at != std::string::npos;
             at = status.find("exchanges: ", at + 1)) {
          ++ports;
          if (std::atoi(status.c_str() + at + 11) >= 2) ++ready;
        }
        return ports > 0 && ready == ports;
      },
      std::chrono::seconds(20)))
      << service_output();
}

void e2e_capture::TearDown() {
  if (service_) service_->stop();
  if (simulator_) {
    (void)run_program("simulator/kvxsim", {"stop"});
    (void)wait_until([&] { return !simulator_->running(); }, std::chrono::seconds(10));
    simulator_->stop();
  }
}

std::string e2e_capture::kvxsim(const std::vector<std::string>& args) {
  const command_result r = run_program("simulator/kvxsim", args);
  EXPECT_EQ(r.status, 0) << r.output;
  return r.output;
}

int e2e_capture::inject(const std::vector<std::string>& args) {
  std::vector<std::string> words{"inject"};
  words.insert(words.end(), args.begin(), args.end());
  const std::string out = kvxsim(words);
  const std::size_t at = out.find("System record ");
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 14);
}

std::string e2e_capture::log_of(std::uint16_t location) {
  char name[16];
  std::snprintf(name, sizeof name, "kvx%04x.log", static_cast<unsigned>(location));
  return read_file(host_.root() / "drive_c" / "Program Files" / "velmora" / "drivers" / "hba" / "hbalogd" / "log" /
                   name);
}

bool e2e_capture::wait_for_log(std::uint16_t location, const std::string& text) {
  return wait_until([&] { return log_of(location).find(text) != std::string::npos; }, std::chrono::seconds(30));
}

std::string e2e_capture::application_log() {
  return run_program("simhost/simhost", {"eventlog", "show", "Application"}).output;
}

std::string e2e_capture::service_output() { return read_file(host_.root() / "hbalogd.out"); }

}  // namespace kvx::test
