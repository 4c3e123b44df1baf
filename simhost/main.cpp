// simhost: reg.exe, the event viewer and (later) the service control
// commands of the simulated host, for people and for tests.
#include <cstdio>
#include <cstring>
#include <string>

#include "simhost/commands.h"

namespace {

struct command {
  const char* name;
  int (*run)(const kvx::simhost::arguments&);
  const char* summary;
};

const command commands[] = {
    {"reg", kvx::simhost::run_reg, "reg query|add|delete|import|export KEY [/v NAME] [/t TYPE] [/d DATA] [/f]"},
    {"eventlog", kvx::simhost::run_eventlog, "eventlog show|clear|write System|Application [options]"},
    {"net", kvx::simhost::run_net, "net start|stop NAME"},
    {"sc", kvx::simhost::run_sc, "sc query|qc NAME"},
    {"shutdown", kvx::simhost::run_shutdown, "shutdown"},
};

int usage() {
  std::fprintf(stderr, "usage: simhost COMMAND ...\n");
  for (const command& c : commands) std::fprintf(stderr, "  simhost %s\n", c.summary);
  std::fprintf(stderr, "The host root is $KVX_HOST_ROOT (default $HOME/.kvx-host).\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  kvx::simhost::arguments args(argv + 2, argv + argc);
  for (const command& c : commands) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(args);
  }
  std::fprintf(stderr, "simhost: unknown command '%s'\n", argv[1]);
  return usage();
}
