// The idle service: hbalogd running as a plain process over two simulated
// adapters with nothing to log, for 60 seconds (or the seconds given as the
// first argument). Prints its CPU seconds and peak resident size (targets:
// under 0.05 CPU s, under 8 MiB). Linux only, like the simulated host.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::filesystem::path build_dir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
}

pid_t start(const std::filesystem::path& program, std::vector<std::string> args) {
  std::vector<std::string> words{program.string()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, words[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int run(const std::filesystem::path& program, std::vector<std::string> args) {
  const pid_t pid = start(program, std::move(args));
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  (void)waitpid(pid, &status, 0);
}

// utime + stime of a process, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());
    if (i == 15) break;
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peak_rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  char templ[] = "/tmp/kvx-idle-XXXXXX";
  if (mkdtemp(templ) == nullptr) return 1;
  const std::filesystem::path root = templ;
  setenv("KVX_HOST_ROOT", templ, 1);
  const std::filesystem::path lists = root / "drive_c/Program Files/velmora/drivers/hba/hbalogd";
  std::filesystem::create_directories(lists / "log");
  std::ofstream(lists / "errorlog_list.txt") << "1, LINK_DOWN, 2\r\n";
  std::ofstream(lists / "errorlevel_list.txt") << "2, ERROR\r\n";
  std::ofstream(root / "adapters.ini") << "[adapter]\nport = 2\n[adapter]\nport = 5\n";

  const std::filesystem::path build = build_dir();
  const pid_t simulator = start(build / "simulator/kvxsim", {"run", "--config", (root / "adapters.ini").string()});
  int result = 1;
  if (run(build / "simulator/kvxsim", {"wait"}) == 0 && run(build / "logd/host/hbalogd", {"/RegServer"}) == 0) {
    const pid_t service = start(build / "logd/host/hbalogd", {});
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = cpu_seconds(service);
    const long rss = peak_rss_kib(service);
    std::printf("idle hbalogd over %d s: %.3f CPU s (target < 0.05), peak RSS %.2f MiB (target < 8)\n", seconds, cpu,
                static_cast<double>(rss) / 1024.0);
    stop(service);
    result = cpu >= 0 && rss >= 0 ? 0 : 1;
  } else {
    std::fprintf(stderr, "idle_service: kvxsim or hbalogd would not start\n");
  }
  (void)run(build / "simulator/kvxsim", {"stop"});
  stop(simulator);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return result;
}
