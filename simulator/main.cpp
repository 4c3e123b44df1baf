// kvxsim: the driver simulator of the simulated host. `kvxsim run` serves the
// configured adapters' port devices; the other commands talk to it.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "simulator/config.h"
#include "simulator/control.h"
#include "simulator/server.h"

namespace {

using namespace kvx::simulator;

int usage_error(const std::string& message) {
  std::fprintf(stderr, "kvxsim: %s\n%s", message.c_str(), usage_text);
  return 2;
}

int run_server(const std::vector<std::string>& args) {
  std::string config_path;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--config" && i + 1 < args.size()) {
      config_path = args[++i];
    } else if (args[i].rfind("--config=", 0) == 0) {
      config_path = args[i].substr(9);
    } else {
      return usage_error("run takes --config FILE and nothing else");
    }
  }
  if (config_path.empty()) return usage_error("run needs --config FILE");
  std::vector<adapter_config> adapters;
  std::string error;
  if (load_config(config_path, adapters, error) != 0) {
    std::fprintf(stderr, "kvxsim: %s\n", error.c_str());
    return 1;
  }
  // Signals are taken by the server's signalfd, so they must reach no thread.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  server s(std::move(adapters), server_options{true});
  if (s.start(error) != 0) {
    std::fprintf(stderr, "kvxsim: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stdout, "kvxsim: serving\n");
  std::fflush(stdout);
  s.run();
  return 0;
}

int wait_for_server(const std::vector<std::string>& args) {
  std::uint64_t seconds = 10;
  if (args.size() == 2 && args[0] == "--timeout") {
    if (!parse_number(args[1], 3600, seconds)) return usage_error("--timeout takes a number of seconds");
  } else if (!args.empty()) {
    return usage_error("wait takes only --timeout SECONDS");
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    control_reply reply;
    if (send_control({"status"}, reply) == 0) return 0;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::fprintf(stderr, "kvxsim: no simulator answered within %llu seconds\n", static_cast<unsigned long long>(seconds));
  return 1;
}

int control(const std::vector<std::string>& words) {
  control_command command;
  std::string error;
  if (parse_control(words, command, error) != 0) return usage_error(error);
  control_reply reply;
  if (send_control(words, reply) != 0) {
    std::fprintf(stderr, "kvxsim: no simulator is running (start one with kvxsim run --config FILE)\n");
    return 1;
  }
  std::fputs(reply.out.c_str(), stdout);
  std::fputs(reply.err.c_str(), stderr);
  return reply.status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage_error("no command given");
  const std::string verb = argv[1];
  const std::vector<std::string> rest(argv + 2, argv + argc);
  if (verb == "run") return run_server(rest);
  if (verb == "wait") return wait_for_server(rest);
  if (verb == "--help" || verb == "help") {
    std::fputs(usage_text, stdout);
    return 0;
  }
  if (!is_control_verb(verb)) return usage_error("unknown command '" + verb + "'");
  return control(std::vector<std::string>(argv + 1, argv + argc));
}
