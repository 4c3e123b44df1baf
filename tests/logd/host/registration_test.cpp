// Registration through the program's switches, checked value by value in the
// simulated registry.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/service.h"
#include "tests/logd/host/service_rig.h"
#include "tests/support/poll.h"
#include "tests/support/process.h"

namespace kvx::test {
namespace {

using platform::hive_root;

constexpr const char* service_key = "SYSTEM\\CurrentControlSet\\Services\\hbalogd";
constexpr const char* typelib_version = "TypeLib\\{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}\\1.0";
constexpr const char* typelib_win64 = "TypeLib\\{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}\\1.0\\0\\win64";
constexpr const char* typelib_top = "TypeLib\\{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}";

std::string dword(std::uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

void expect_value(hive_root root, const char* key, const char* name, std::uint32_t type, const std::string& bytes) {
  const stored_value v = read_value(root, key, name);
  EXPECT_EQ(v.rc, win::error_success) << key << " " << (name != nullptr ? name : "(default)");
  EXPECT_EQ(v.type, type) << key << " " << (name != nullptr ? name : "(default)");
  EXPECT_EQ(v.bytes, bytes) << key << " " << (name != nullptr ? name : "(default)");
}

void expect_absent(hive_root root, const char* key, const char* name) {
  EXPECT_EQ(read_value(root, key, name).rc, win::error_file_not_found) << key << " " << name;
}

class Registration : public service_rig {};

/// A value the registration leaves: its bytes and type, or (`absent`) none.
struct registered_value {
  hive_root root = hive_root::classes_root;
  const char* key = nullptr;
  const char* name = nullptr;
  std::uint32_t type = 0;
  std::string bytes = {};
  bool absent = false;
};

struct switch_row {
  std::string name;
  const char* command = nullptr;
  std::vector<registered_value> values = {};
  bool service_installed = false;
};

class RegistrationSwitches : public Registration, public ::testing::WithParamInterface<switch_row> {};
// A row shows as its name, in the case's name and in a failure.
void PrintTo(const switch_row& row, std::ostream* os) { *os << row.name; }

TEST_P(RegistrationSwitches, LeaveTheirValuesAndRunNothing) {
  const switch_row& row = GetParam();
  EXPECT_EQ(module.program_entry(row.command), 0);
  for (const registered_value& v : row.values) {
    if (v.absent) {
      expect_absent(v.root, v.key, v.name);
    } else {
      expect_value(v.root, v.key, v.name, v.type, v.bytes);
    }
  }
  // The type library is registered with every registration.
  expect_value(hive_root::classes_root, typelib_version, nullptr, win::reg_sz, sz("HBALOGDLib"));
  expect_value(hive_root::classes_root, typelib_win64, nullptr, win::reg_sz, sz(rig_program_path));
  EXPECT_EQ(module.service_installed(), row.service_installed);
  EXPECT_EQ(key_exists(hive_root::local_machine, service_key), row.service_installed);
  EXPECT_EQ(key_exists(hive_root::local_machine, logd::event_source_key), row.service_installed);
  EXPECT_EQ(worker_runs, 0);
  EXPECT_EQ(services.dispatcher_calls, 0);
  EXPECT_TRUE(dialogs.messages.empty());
}

constexpr hive_root classes = hive_root::classes_root;
constexpr hive_root machine = hive_root::local_machine;
const std::string quoted_program_path = std::string("\"") + rig_program_path + "\"";

const std::vector<switch_row> switch_rows = {
    {"RegServerInLowerCaseRegistersWithoutTheService",
     "hbalogd /regserver",
     {{classes, logd::module_appid_key, nullptr, win::reg_sz, sz("hbalogd")},
      {classes, logd::module_exe_key, "AppID", win::reg_sz, sz(logd::module_appid)},
      {.key = logd::module_appid_key, .name = "LocalService", .absent = true},
      {.key = logd::module_appid_key, .name = "ServiceParameters", .absent = true}},
     false},
    {"ServiceInstallsTheServiceAndItsEventSource",
     "hbalogd -Service",
     {{classes, logd::module_appid_key, nullptr, win::reg_sz, sz("hbalogd")},
      {classes, logd::module_appid_key, "LocalService", win::reg_sz, sz("hbalogd")},
      {classes, logd::module_appid_key, "ServiceParameters", win::reg_sz, sz("-Service")},
      {classes, logd::module_exe_key, "AppID", win::reg_sz, sz(logd::module_appid)},
      {machine, service_key, "Type", win::reg_dword, dword(0x10)},
      {machine, service_key, "Start", win::reg_dword, dword(2)},
      {machine, service_key, "ErrorControl", win::reg_dword, dword(1)},
      {machine, service_key, "ImagePath", win::reg_expand_sz, sz(quoted_program_path)},
      {machine, service_key, "DependOnService", win::reg_multi_sz, std::string("RPCSS\0\0", 7)},
      {machine, service_key, "ObjectName", win::reg_sz, sz("LocalSystem")},
      {machine, service_key, "DisplayName", win::reg_sz, sz("hbalogd")},
      // The wait after the preshutdown control covers the capture's drain.
      {machine, service_key, "PreshutdownTimeout", win::reg_dword, dword(30000)},
      {machine, logd::event_source_key, "EventMessageFile", win::reg_expand_sz, sz(rig_program_path)},
      {machine, logd::event_source_key, "TypesSupported", win::reg_dword, dword(5)}},
     true},
};

INSTANTIATE_TEST_SUITE_P(Switches, RegistrationSwitches, ::testing::ValuesIn(switch_rows),
                         [](const auto& instance) { return instance.param.name; });

TEST_F(Registration, ServiceTwiceLeavesOneServiceAndRegServerAfterwardsRemovesIt) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  EXPECT_TRUE(module.service_installed());
  EXPECT_TRUE(dialogs.messages.empty());

  ASSERT_EQ(module.program_entry("hbalogd /RegServer"), 0);
  EXPECT_FALSE(module.service_installed());
  EXPECT_FALSE(key_exists(hive_root::local_machine, service_key));
  expect_absent(hive_root::classes_root, logd::module_appid_key, "LocalService");
  // Nothing removes "ServiceParameters"; without "LocalService" it means nothing.
  expect_value(hive_root::classes_root, logd::module_appid_key, "ServiceParameters", win::reg_sz, sz("-Service"));
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(Registration, UnregServerKeepsTheAppIdKeyAndTheEventSource) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  EXPECT_EQ(module.program_entry("hbalogd /UnregServer"), 0);
  EXPECT_TRUE(key_exists(hive_root::classes_root, logd::appid_key));
  EXPECT_FALSE(key_exists(hive_root::classes_root, logd::module_appid_key));
  EXPECT_FALSE(key_exists(hive_root::classes_root, logd::module_exe_key));
  EXPECT_FALSE(key_exists(hive_root::classes_root, typelib_top));
  EXPECT_FALSE(module.service_installed());
  EXPECT_TRUE(key_exists(hive_root::local_machine, logd::event_source_key));
  // Unregistered, a plain run ends with the registry's "not found".
  EXPECT_EQ(module.program_entry("hbalogd"), static_cast<int>(win::error_file_not_found));
  EXPECT_EQ(worker_runs, 0);
}

TEST_F(Registration, AnAppIdKeyThatDoesNotOpenEndsRegistrationWithItsCode) {
  // A fresh host has no AppID key at all: its opening fails first.
  registry.denied.insert(logd::module_appid_key);
  EXPECT_EQ(module.program_entry("hbalogd /Service"), static_cast<int>(win::error_file_not_found));
  platform::unique_reg_key appids;
  ASSERT_EQ(platform::host_registry().create_key(hive_root::classes_root, logd::appid_key, win::key_all_access, appids,
                                                 nullptr),
            win::error_success);
  EXPECT_EQ(module.program_entry("hbalogd /Service"), static_cast<int>(win::error_access_denied));
  EXPECT_FALSE(module.service_installed());
  registry.denied.clear();
  registry.denied.insert(logd::appid_key);
  EXPECT_EQ(module.register_server(true, true), static_cast<std::int32_t>(win::error_access_denied));
  EXPECT_FALSE(module.service_installed());
}

// E_FAIL: a registration whose service-manager step failed does not succeed.
constexpr int service_step_failed = static_cast<int>(0x80004005u);

/// A switch run with one service-manager step failing (or the program without
/// its own path): what it returns, the one message box that says so, and what
/// stays installed.
struct failure_row {
  std::string name;
  /// Registered with /Service before the fault is set.
  bool installed_before = false;
  bool scripted_services::*fault = nullptr;
  const char* program_path = rig_program_path;
  const char* command = "hbalogd /Service";
  int rc = service_step_failed;
  /// Empty: no message box.
  std::string message = {};
  bool installed_after = false;
  std::vector<std::string> logged = {};
};

class RegistrationFailures : public Registration, public ::testing::WithParamInterface<failure_row> {};
// A row shows as its name, in the case's name and in a failure.
void PrintTo(const failure_row& row, std::ostream* os) { *os << row.name; }

TEST_P(RegistrationFailures, ShowTheirMessageBoxAndFailTheRegistration) {
  const failure_row& row = GetParam();
  if (row.installed_before) {
    ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  }
  if (row.fault != nullptr) services.*row.fault = true;
  module.init("hbalogd", row.program_path);
  EXPECT_EQ(module.program_entry(row.command), row.rc);
  if (row.message.empty()) {
    EXPECT_TRUE(dialogs.messages.empty());
  } else {
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, row.message);
    EXPECT_EQ(dialogs.messages[0].caption, "hbalogd");
    EXPECT_FALSE(dialogs.messages[0].ansi);
  }
  // Said once: the Application log hears of a failure only where no box shows it.
  EXPECT_EQ(logs.texts(), row.logged);
  EXPECT_EQ(module.service_installed(), row.installed_after);
  EXPECT_EQ(key_exists(hive_root::local_machine, logd::event_source_key), row.installed_after);
  // A service that stays is the one installed, not one marked for deletion.
  EXPECT_EQ(read_value(hive_root::local_machine, service_key, "DeleteFlag").rc, win::error_file_not_found);
}

const std::vector<failure_row> failure_rows = {
    {.name = "ManagerDoesNotOpen",
     .fault = &scripted_services::fail_manager,
     .message = "サービス マネージャーを開けませんでした"},
    {.name = "ServiceIsNotCreated",
     .fault = &scripted_services::fail_create,
     .message = "サービスを作成できませんでした"},
    // A service whose preshutdown timeout cannot be set is still installed;
    // the failure is said once.
    {.name = "PreshutdownTimeoutIsNotSet",
     .fault = &scripted_services::fail_preshutdown_timeout,
     .rc = 0,
     .installed_after = true,
     .logged = {"Preshutdown timeout not set. Return code is 5."}},
    {.name = "ServiceDoesNotOpenForDeletion",
     .installed_before = true,
     .fault = &scripted_services::fail_open_for_delete,
     .command = "hbalogd /RegServer",
     .message = "サービスを開けませんでした",
     .installed_after = true},
    {.name = "ServiceIsNotDeleted",
     .installed_before = true,
     .fault = &scripted_services::fail_delete,
     .command = "hbalogd /UnregServer",
     .message = "サービスは削除できませんでした",
     .installed_after = true},
    // A running service that refuses the stop is neither deleted nor replaced.
    {.name = "RunningServiceRefusesTheStop",
     .installed_before = true,
     .fault = &scripted_services::runs_refusing_stop,
     .message = "サービスは削除できませんでした",
     .installed_after = true},
    // Without its own path the program does not create a service that cannot start.
    {.name = "ProgramWithoutItsOwnPath", .program_path = "", .message = "サービスを作成できませんでした"},
};

INSTANTIATE_TEST_SUITE_P(ServiceManager, RegistrationFailures, ::testing::ValuesIn(failure_rows),
                         [](const auto& instance) { return instance.param.name; });

TEST_F(Registration, ReRegisteringWaitsUntilTheDeletedServiceIsReleased) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  // Another program holds the service open: deleted, it is only marked, and
  // cannot be created again until that handle closes.
  platform::unique_service_manager scm;
  ASSERT_EQ(platform::backend_services().open_manager(win::sc_manager_all_access, scm), win::error_success);
  platform::unique_service held;
  ASSERT_EQ(scm->open_service("hbalogd", win::service_query_status, held), win::error_success);
  std::thread holder([&] {
    EXPECT_TRUE(eventually([] { return read_value(hive_root::local_machine, service_key, "DeleteFlag").rc == 0; }));
    held.reset();
  });
  EXPECT_EQ(module.program_entry("hbalogd /Service"), 0);
  holder.join();
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_TRUE(module.service_installed());
  EXPECT_EQ(read_value(hive_root::local_machine, service_key, "DeleteFlag").rc, win::error_file_not_found)
      << "the service is the new one, not the one marked for deletion";
  expect_value(hive_root::local_machine, service_key, "ImagePath", win::reg_expand_sz,
               sz(std::string("\"") + rig_program_path + "\""));
}

TEST_F(Registration, EventSourceNamesTheWholeProgramPathHoweverLong) {
  const std::string long_path = "/opt/" + std::string(300, 'p') + "/hbalogd";
  module.init("hbalogd", long_path);
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  expect_value(hive_root::local_machine, logd::event_source_key, "EventMessageFile", win::reg_expand_sz, sz(long_path));
  expect_value(hive_root::local_machine, service_key, "ImagePath", win::reg_expand_sz, sz("\"" + long_path + "\""));
}

}  // namespace
}  // namespace kvx::test
