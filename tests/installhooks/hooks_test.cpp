// KVXService's steps with recorded processes and message boxes, on the
// simulated registry.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "installhooks/kvx_service.h"
#include "platform/files.h"
#include "platform/win_codes.h"
#include "tests/fakes/faulty_registry.h"
#include "tests/fakes/service_fakes.h"
#include "tests/fakes/temp_host.h"

namespace kvx::test {
namespace {

using installhooks::hooks_platform;

/// A line as recording_processes records the hidden net command for `verb`.
std::string net(const char* verb) {
  std::string line = "hidden";
  for (const std::string& w : platform::net_command({verb, "hbalogd"})) line += " " + w;
  return line;
}

/// The unregistering message for a run that did not start (ENOENT).
std::string not_started(const char* what) {
  return std::string("hbalogd Service Not ") + what + ".\nrCode = -1\nerrno = " + std::to_string(ENOENT) +
         "\nmsg = " + std::strerror(ENOENT) + "\n";
}

/// The uninstall key as the installer left it.
enum class uninstall_key { absent, without_dir, with_dir };

/// A step's input and how the recorded processes answer, and what the step
/// must leave: its result, the processes it ran, the one message box (or
/// none), the process ends.
struct hooks_row {
  std::string name;
  /// kvx_registry's argument (std::nullopt: none); uninst_initialize's
  /// kvxTgDir, of `dir_type`, under a key as `key` says.
  std::optional<std::string> dir = "/opt/kvx";
  std::uint32_t dir_type = win::reg_sz;
  uninstall_key key = uninstall_key::with_dir;
  int spawn_result = 0;
  int spawn_errno = 0;
  bool hidden_result = true;
  bool fail_close = false;
  int rc = 0;
  /// errno after the step, where it says why.
  int errno_after = 0;
  std::vector<std::string> calls = {};
  /// Empty: no message box. The start of its text unless `whole_message`.
  std::string message = {};
  bool whole_message = false;
  std::vector<int> ended = {};
};

class Hooks : public ::testing::Test {
 protected:
  hooks_platform platform() {
    return {processes, registry, dialogs, [this](int status) { ended.push_back(status); }};
  }

  void set_install_dir(std::uint32_t type, const std::string& bytes) {
    platform::unique_reg_key key;
    ASSERT_EQ(platform::host_registry().create_key(platform::hive_root::local_machine, installhooks::uninstall_key,
                                                   win::key_all_access, key, nullptr),
              win::error_success);
    ASSERT_EQ(key->set_value("kvxTgDir", type, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                             static_cast<std::uint32_t>(bytes.size())),
              win::error_success);
  }

  void answer_as(const hooks_row& row) {
    processes.spawn_result = row.spawn_result;
    processes.spawn_errno = row.spawn_errno;
    processes.hidden_result = row.hidden_result;
    registry.fail_close = row.fail_close;
  }

  void expect_left(const hooks_row& row, int rc) {
    EXPECT_EQ(rc, row.rc);
    EXPECT_EQ(processes.calls, row.calls);
    if (row.message.empty()) {
      EXPECT_TRUE(dialogs.messages.empty());
    } else {
      ASSERT_EQ(dialogs.messages.size(), 1u);
      EXPECT_TRUE(dialogs.messages[0].ansi);
      if (row.whole_message) {
        EXPECT_EQ(dialogs.messages[0].text, row.message);
      } else {
        EXPECT_EQ(dialogs.messages[0].text.rfind(row.message, 0), 0u) << dialogs.messages[0].text;
      }
    }
    EXPECT_EQ(ended, row.ended);
  }

  temp_host host;
  recording_processes processes;
  faulty_registry registry;
  recording_dialogs dialogs;
  std::vector<int> ended;
};

class HooksRegistry : public Hooks, public ::testing::WithParamInterface<hooks_row> {};
// A row shows as its name, in the case's name and in a failure.
void PrintTo(const hooks_row& row, std::ostream* os) { *os << row.name; }

TEST_P(HooksRegistry, RegistersThenStartsTheServiceOrSaysWhyNot) {
  const hooks_row& row = GetParam();
  answer_as(row);
  const int rc = installhooks::kvx_registry(platform(), row.dir ? row.dir->c_str() : nullptr);
  if (row.errno_after != 0) {
    EXPECT_EQ(errno, row.errno_after);
  }
  expect_left(row, rc);
}

const std::string registering = "spawn /opt/kvx/hbalogd/hbalogd /Service";

const std::vector<hooks_row> registry_rows = {
    {.name = "RegistersThenStartsTheService", .calls = {registering, net("start")}},
    // A registering run that fails is the result, and nothing else runs.
    {.name = "RegisteringRunFails", .spawn_result = 5, .rc = 5, .calls = {registering}},
    {.name = "RegisteringRunDoesNotStart", .spawn_result = -1, .spawn_errno = ENOENT, .rc = -1, .calls = {registering}},
    // A start command that does not start undoes the registration; the
    // directory reaches the command interpreter as one word, uninterpreted.
    {.name = "StartCommandDoesNotStart",
     .dir = "/opt/it's $(here)",
     .hidden_result = false,
     .rc = -2,
     .calls = {"spawn /opt/it's $(here)/hbalogd/hbalogd /Service", net("start"),
               "shell '/opt/it'\\''s $(here)/hbalogd/hbalogd' /UnregServer"}},
    // A directory that cannot be named in a command counts as not starting.
    {.name = "NoDirectory", .dir = std::nullopt, .rc = -1},
    {.name = "DirectoryTooLong",
     .dir = "/" + std::string(installhooks::text_buffer, 'd'),
     .rc = -1,
     .errno_after = ENAMETOOLONG},
};

INSTANTIATE_TEST_SUITE_P(Install, HooksRegistry, ::testing::ValuesIn(registry_rows),
                         [](const auto& instance) { return instance.param.name; });

TEST_F(Hooks, WindowsInstallDirectoriesAreMappedBelowTheHostRoot) {
  EXPECT_EQ(installhooks::service_program_path("C:\\Program Files\\KVX"),
            platform::native_path("C:\\Program Files\\KVX") + "/hbalogd/hbalogd");
  EXPECT_EQ(installhooks::service_program_path("/opt/kvx"), "/opt/kvx/hbalogd/hbalogd");
}

class HooksUninstall : public Hooks, public ::testing::WithParamInterface<hooks_row> {};

TEST_P(HooksUninstall, StopsThenUnregistersOrSaysWhyNot) {
  const hooks_row& row = GetParam();
  if (row.key == uninstall_key::with_dir) {
    ASSERT_NO_FATAL_FAILURE(set_install_dir(row.dir_type, *row.dir));
  } else if (row.key == uninstall_key::without_dir) {
    platform::unique_reg_key key;
    ASSERT_EQ(platform::host_registry().create_key(platform::hive_root::local_machine, installhooks::uninstall_key,
                                                   win::key_all_access, key, nullptr),
              win::error_success);
  }
  answer_as(row);
  expect_left(row, installhooks::uninst_initialize(platform()));
}

const std::vector<std::string> stop_then_unregister = {net("stop"), "spawn /opt/kvx/hbalogd/hbalogd /UnregServer"};

const std::vector<hooks_row> uninstall_rows = {
    // Without its key or directory the step returns silently.
    {.name = "NoKey", .key = uninstall_key::absent, .rc = -1},
    {.name = "KeyWithoutTheDirectory", .key = uninstall_key::without_dir, .rc = -1},
    // A value larger than its 4096-byte buffer is not read at all.
    {.name = "DirectoryLargerThanItsBuffer", .dir = std::string(installhooks::text_buffer + 1, 'x'), .rc = -1},
    {.name = "StopsThenUnregisters", .dir = std::string("/opt/kvx\0", 9), .calls = stop_then_unregister},
    // Any type is read as text, with or without its NUL.
    {.name = "BinaryDirectoryWithoutItsNul",
     .dir = "/srv/kvx",
     .dir_type = win::reg_binary,
     .calls = {net("stop"), "spawn /srv/kvx/hbalogd/hbalogd /UnregServer"}},
    // A failed unregistering run is shown with its status.
    {.name = "UnregisteringRunDoesNotStart",
     .spawn_result = -1,
     .spawn_errno = ENOENT,
     .rc = -1,
     .calls = stop_then_unregister,
     .message = not_started("Unregistry"),
     .whole_message = true},
    {.name = "UnregisteringRunFails",
     .spawn_result = 3,
     .rc = -1,
     .calls = stop_then_unregister,
     .message = "hbalogd Service Not Unregistry.\nrCode = 3\nerrno = "},
    // A stop command that does not start ends the process: nothing runs after it.
    {.name = "StopCommandDoesNotStart",
     .hidden_result = false,
     .rc = -1,
     .calls = {net("stop")},
     .message = not_started("Stoped"),
     .whole_message = true,
     .ended = {-1}},
    // An uninstall key that does not close ends the process.
    {.name = "KeyDoesNotClose", .fail_close = true, .rc = -1, .message = "rCode = 6\nerrno = ", .ended = {-1}},
};

INSTANTIATE_TEST_SUITE_P(Uninstall, HooksUninstall, ::testing::ValuesIn(uninstall_rows),
                         [](const auto& instance) { return instance.param.name; });

}  // namespace
}  // namespace kvx::test
