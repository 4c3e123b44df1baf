// libKVXService.so loaded by kvxhook as the installer would load it, on a
// throw-away simulated host: with a stand-in for hbalogd and a recording
// stand-in for simhost where a test must see what ran, and with the real
// programs for a whole install and removal.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/fakes/temp_host.h"
#include "tests/support/process.h"

namespace kvx::test {
namespace {

namespace fs = std::filesystem;

const std::string kvxhook = built_program("installhooks/kvxhook").string();
const std::string library = built_program("installhooks/libKVXService.so").string();
const std::string simhost = built_program("simhost/simhost").string();

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class HooksEndToEnd : public ::testing::Test {
 protected:
  HooksEndToEnd() {
    if (const char* p = std::getenv("PATH"); p != nullptr) saved_path_ = p;
    install_dir = host.root() / "inst";
    fs::create_directories(install_dir / "hbalogd");
    stand_in_log = host.root() / "stand_in.log";
    ::setenv("KVX_STAND_IN_LOG", stand_in_log.c_str(), 1);
    // A simhost that only writes down how it was called.
    fs::create_directories(host.root() / "fakebin");
    simhost_log = host.root() / "simhost.log";
    std::ofstream script(host.root() / "fakebin" / "simhost");
    script << "#!/bin/sh\necho \"$*\" >> '" << simhost_log.string() << "'\n";
    script.close();
    fs::permissions(host.root() / "fakebin" / "simhost", fs::perms::owner_all);
  }
  ~HooksEndToEnd() override {
    ::setenv("PATH", saved_path_.c_str(), 1);
    ::unsetenv("KVX_STAND_IN_LOG");
    ::unsetenv("KVX_STAND_IN_STATUS");
  }

  /// simhost is taken from PATH: the library's own directory has none.
  void use_path(const std::string& first) { ::setenv("PATH", (first + ":" + saved_path_).c_str(), 1); }
  void use_fake_simhost() { use_path((host.root() / "fakebin").string()); }
  void use_real_simhost() { use_path(fs::path(simhost).parent_path().string()); }

  void install_program(const std::string& program) { fs::create_symlink(program, install_dir / "hbalogd" / "hbalogd"); }

  command_result hook(const std::vector<std::string>& words) {
    std::vector<std::string> argv{kvxhook, library};
    argv.insert(argv.end(), words.begin(), words.end());
    return run_command(argv);
  }

  command_result set_install_dir(const std::string& dir) {
    return run_command({simhost, "reg", "add",
                        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KVXTools", "/v", "kvxTgDir",
                        "/d", dir, "/f"});
  }

  temp_host host;
  fs::path install_dir;
  fs::path stand_in_log;
  fs::path simhost_log;

 private:
  std::string saved_path_;
};

TEST_F(HooksEndToEnd, ADirectoryWithoutTheProgramGivesMinusOneAndRunsNothingElse) {
  use_fake_simhost();
  const command_result r = hook({"KvxRegistry", install_dir.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "KvxRegistry returned -1\n");
  EXPECT_FALSE(fs::exists(simhost_log));
}

TEST_F(HooksEndToEnd, ARegisteringRunThatExitsWithFiveGivesFiveAndStartsNothing) {
  use_fake_simhost();
  install_program(built_program("tests/installhooks/stand_in_hbalogd").string());
  ::setenv("KVX_STAND_IN_STATUS", "5", 1);
  const command_result r = hook({"KvxRegistry", install_dir.string()});
  EXPECT_EQ(r.out, "KvxRegistry returned 5\n");
  EXPECT_EQ(read_file(stand_in_log), "/Service\n");
  EXPECT_FALSE(fs::exists(simhost_log));
}

TEST_F(HooksEndToEnd, TheStartCommandRunsAfterARegisteringRunThatSucceeds) {
  use_fake_simhost();
  install_program(built_program("tests/installhooks/stand_in_hbalogd").string());
  const command_result r = hook({"KvxRegistry", install_dir.string()});
  EXPECT_EQ(r.out, "KvxRegistry returned 0\n");
  EXPECT_EQ(read_file(simhost_log), "net start hbalogd\n");
}

TEST_F(HooksEndToEnd, WithoutAStartCommandTheRegistrationIsUndone) {
  ::setenv("PATH", (host.root() / "nowhere").c_str(), 1);  // no simhost anywhere
  install_program(built_program("tests/installhooks/stand_in_hbalogd").string());
  const command_result r = hook({"KvxRegistry", install_dir.string()});
  EXPECT_EQ(r.out, "KvxRegistry returned -2\n");
  EXPECT_EQ(read_file(stand_in_log), "/Service\n/UnregServer\n");
}

TEST_F(HooksEndToEnd, UninstallWithoutTheUninstallKeyIsSilent) {
  use_fake_simhost();
  const command_result r = hook({"UninstInitialize"});
  EXPECT_EQ(r.out, "UninstInitialize returned -1\n");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(fs::exists(simhost_log));
  EXPECT_EQ(hook({"UninstUnInitialize"}).out, "UninstUnInitialize returned 0\n");
}

TEST_F(HooksEndToEnd, AMissingProgramIsShownAsNotUnregistered) {
  use_fake_simhost();
  ASSERT_EQ(set_install_dir(install_dir.string()).status, 0);
  const command_result r = hook({"UninstInitialize"});
  EXPECT_EQ(r.out, "UninstInitialize returned -1\n");
  EXPECT_EQ(r.err,
            "Error: hbalogd Service Not Unregistry.\nrCode = -1\nerrno = 2\nmsg = No such file or directory\n\n");
  EXPECT_EQ(read_file(simhost_log), "net stop hbalogd\n");
}

TEST_F(HooksEndToEnd, AStopCommandThatCannotStartEndsTheInstaller) {
  ::setenv("PATH", (host.root() / "nowhere").c_str(), 1);
  install_program(built_program("tests/installhooks/stand_in_hbalogd").string());
  ASSERT_EQ(set_install_dir(install_dir.string()).status, 0);
  const command_result r = hook({"UninstInitialize"});
  EXPECT_EQ(r.status, 255) << "exit(-1)";
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("Error: hbalogd Service Not Stoped.\nrCode = -1\nerrno = 2\n", 0), 0u) << r.err;
  EXPECT_FALSE(fs::exists(stand_in_log)) << "nothing runs after the stop command";
}

TEST_F(HooksEndToEnd, InstallAndRemoveTheRealService) {
  use_real_simhost();
  // The machine as setup leaves it: lists, log folder and configuration.
  ASSERT_EQ(run_command({"/bin/bash", KVX_SOURCE_DIR "/scripts/sim-install", "--host-root", host.root().string(),
                         "--config", simhost})
                .status,
            0);
  install_program(built_program("logd/host/hbalogd").string());
  command_result r = hook({"KvxRegistry", install_dir.string()});
  ASSERT_EQ(r.out, "KvxRegistry returned 0\n") << r.err;
  EXPECT_NE(run_command({simhost, "sc", "query", "hbalogd"}).out.find("4  RUNNING"), std::string::npos);

  // An upgrade: the same install again while the service runs. The running
  // service is stopped and replaced, and the new one runs.
  const std::string first_status = read_file(host.root() / "services" / "hbalogd" / "status");
  r = hook({"KvxRegistry", install_dir.string()});
  ASSERT_EQ(r.out, "KvxRegistry returned 0\n") << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(run_command({simhost, "sc", "query", "hbalogd"}).out.find("4  RUNNING"), std::string::npos)
      << run_command({simhost, "sc", "query", "hbalogd"}).out;
  const std::string second_status = read_file(host.root() / "services" / "hbalogd" / "status");
  EXPECT_NE(first_status.substr(0, first_status.find('\n')), second_status.substr(0, second_status.find('\n')))
      << "another process runs the service now";

  // Already stopped when the removal comes: it unregisters all the same.
  ASSERT_EQ(run_command({simhost, "net", "stop", "hbalogd"}).status, 0);
  // Both runs read the configuration without a warning: the stop is logged
  // after everything else the service reports.
  const std::string application = run_command({simhost, "eventlog", "show", "Application"}).out;
  EXPECT_NE(application.find("\"Service stopped\""), std::string::npos) << application;
  EXPECT_EQ(application.find("registory"), std::string::npos) << application;
  ASSERT_EQ(set_install_dir(install_dir.string()).status, 0);
  r = hook({"UninstInitialize"});
  EXPECT_EQ(r.out, "UninstInitialize returned 0\n") << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(run_command({simhost, "sc", "query", "hbalogd"}).out.find("RUNNING"), std::string::npos);
  EXPECT_NE(run_command({simhost, "sc", "query", "hbalogd"}).out.find("FAILED 1060"), std::string::npos);
  EXPECT_NE(run_command({simhost, "reg", "query", "HKCR\\AppID\\{7A3E91C2-4B5D-4F60-9E21-5C8D0B6A4F17}"}).status, 0);
  EXPECT_EQ(run_command({simhost, "reg", "query", "HKCR\\AppID"}).status, 0);
}

}  // namespace
}  // namespace kvx::test
