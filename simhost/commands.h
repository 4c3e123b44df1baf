// The sub-commands of simhost, the administrator's tool for the simulated
// host. Each takes the words after its own name and gives the exit status.
#pragma once

#include <string>
#include <vector>

namespace kvx::simhost {

using arguments = std::vector<std::string>;

/// reg query|add|delete|import|export, with reg.exe's syntax.
int run_reg(const arguments& args);
/// eventlog show|clear|write System|Application ...
int run_eventlog(const arguments& args);
/// net start|stop NAME, with net.exe's messages and exit codes.
int run_net(const arguments& args);
/// sc query|qc NAME, with sc.exe's layout.
int run_sc(const arguments& args);
/// shutdown: the system's shutdown as its service manager runs it (the
/// preshutdown control, the shutdown control, then every service process
/// still running ended), printing each step.
int run_shutdown(const arguments& args);

}  // namespace kvx::simhost
