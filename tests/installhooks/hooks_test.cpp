// KVXService's steps with recorded processes and message boxes, on the
// simulated registry.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "installhooks/kvx_service.h"
#include "platform/files.h"
#include "platform/win_codes.h"
#include "tests/fakes/service_fakes.h"
#include "tests/fakes/temp_host.h"

namespace kvx::test {
namespace {

using installhooks::hooks_platform;

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

  std::string net(const char* verb) {
    std::string line = "hidden";
    for (const std::string& w : platform::net_command({verb, "hbalogd"})) line += " " + w;
    return line;
  }

  temp_host host;
  recording_processes processes;
  faulty_registry registry;
  recording_dialogs dialogs;
  std::vector<int> ended;
};

TEST_F(Hooks, RegistryRegistersThenStartsTheService) {
  EXPECT_EQ(installhooks::kvx_registry(platform(), "/opt/kvx"), 0);
  EXPECT_EQ(processes.calls, (std::vector<std::string>{"spawn /opt/kvx/hbalogd/hbalogd /Service", net("start")}));
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(Hooks, ARegisteringRunThatFailsIsTheResultAndNothingElseRuns) {
  processes.spawn_result = 5;
  EXPECT_EQ(installhooks::kvx_registry(platform(), "/opt/kvx"), 5);
  processes.spawn_result = -1;
  processes.spawn_errno = ENOENT;
  EXPECT_EQ(installhooks::kvx_registry(platform(), "/opt/kvx"), -1);
  EXPECT_EQ(processes.calls, (std::vector<std::string>{"spawn /opt/kvx/hbalogd/hbalogd /Service",
                                                       "spawn /opt/kvx/hbalogd/hbalogd /Service"}));
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(Hooks, AStartCommandThatDoesNotStartUndoesTheRegistration) {
  processes.hidden_result = false;
  EXPECT_EQ(installhooks::kvx_registry(platform(), "/opt/it's $(here)"), -2);
  ASSERT_EQ(processes.calls.size(), 3u);
  // The directory reaches the command interpreter as one word, uninterpreted.
  EXPECT_EQ(processes.calls[2], "shell '/opt/it'\\''s $(here)/hbalogd/hbalogd' /UnregServer");
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(Hooks, ADirectoryThatCannotBeNamedInACommandCountsAsNotStarting) {
  EXPECT_EQ(installhooks::kvx_registry(platform(), nullptr), -1);
  const std::string huge(installhooks::text_buffer, 'd');
  EXPECT_EQ(installhooks::kvx_registry(platform(), ("/" + huge).c_str()), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_TRUE(processes.calls.empty());
}

TEST_F(Hooks, WindowsInstallDirectoriesAreMappedBelowTheHostRoot) {
  EXPECT_EQ(installhooks::service_program_path("C:\\Program Files\\KVX"),
            platform::native_path("C:\\Program Files\\KVX") + "/hbalogd/hbalogd");
  EXPECT_EQ(installhooks::service_program_path("/opt/kvx"), "/opt/kvx/hbalogd/hbalogd");
}

TEST_F(Hooks, UninstallWithoutItsKeyOrDirectoryReturnsSilently) {
  EXPECT_EQ(installhooks::uninst_initialize(platform()), -1);
  platform::unique_reg_key key;  // the key, without "kvxTgDir"
  ASSERT_EQ(platform::host_registry().create_key(platform::hive_root::local_machine, installhooks::uninstall_key,
                                                 win::key_all_access, key, nullptr),
            win::error_success);
  EXPECT_EQ(installhooks::uninst_initialize(platform()), -1);
  // A value larger than its 4096-byte buffer is not read at all.
  set_install_dir(win::reg_sz, std::string(installhooks::text_buffer + 1, 'x'));
  EXPECT_EQ(installhooks::uninst_initialize(platform()), -1);
  EXPECT_TRUE(processes.calls.empty());
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_TRUE(ended.empty());
}

TEST_F(Hooks, UninstallStopsThenUnregisters) {
  set_install_dir(win::reg_sz, std::string("/opt/kvx\0", 9));
  EXPECT_EQ(installhooks::uninst_initialize(platform()), 0);
  EXPECT_EQ(processes.calls, (std::vector<std::string>{net("stop"), "spawn /opt/kvx/hbalogd/hbalogd /UnregServer"}));
  // Any type is read as text, with or without its NUL.
  processes.calls.clear();
  set_install_dir(win::reg_binary, "/srv/kvx");
  EXPECT_EQ(installhooks::uninst_initialize(platform()), 0);
  EXPECT_EQ(processes.calls.back(), "spawn /srv/kvx/hbalogd/hbalogd /UnregServer");
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_TRUE(ended.empty());
}

TEST_F(Hooks, AFailedUnregisteringRunIsShownWithItsStatus) {
  set_install_dir(win::reg_sz, "/opt/kvx");
  processes.spawn_result = -1;
  processes.spawn_errno = ENOENT;
  EXPECT_EQ(installhooks::uninst_initialize(platform()), -1);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].ansi);
  EXPECT_EQ(dialogs.messages[0].text, std::string("hbalogd Service Not Unregistry.\nrCode = -1\nerrno = ") +
                                          std::to_string(ENOENT) + "\nmsg = " + std::strerror(ENOENT) + "\n");
  processes.spawn_result = 3;
  EXPECT_EQ(installhooks::uninst_initialize(platform()), -1);
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].text.rfind("hbalogd Service Not Unregistry.\nrCode = 3\nerrno = ", 0), 0u);
  EXPECT_TRUE(ended.empty());
}

TEST_F(Hooks, AStopCommandThatDoesNotStartEndsTheProcess) {
  set_install_dir(win::reg_sz, "/opt/kvx");
  processes.hidden_result = false;
  EXPECT_EQ(installhooks::uninst_initialize(platform()), -1);
  EXPECT_EQ(ended, std::vector<int>{-1});
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, std::string("hbalogd Service Not Stoped.\nrCode = -1\nerrno = ") +
                                          std::to_string(ENOENT) + "\nmsg = " + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(processes.calls, std::vector<std::string>{net("stop")}) << "nothing runs after the stop command";
}

TEST_F(Hooks, AnUninstallKeyThatDoesNotCloseEndsTheProcess) {
  set_install_dir(win::reg_sz, "/opt/kvx");
  registry.fail_close = true;
  EXPECT_EQ(installhooks::uninst_initialize(platform()), -1);
  EXPECT_EQ(ended, std::vector<int>{-1});
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text.rfind("rCode = 6\nerrno = ", 0), 0u) << dialogs.messages[0].text;
  EXPECT_TRUE(processes.calls.empty());
}

}  // namespace
}  // namespace kvx::test
