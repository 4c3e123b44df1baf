// Registration through the program's switches, checked value by value in the
// simulated registry.
#include <gtest/gtest.h>

#include <thread>

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

TEST_F(Registration, RegServerInLowerCaseRegistersWithoutTheService) {
  EXPECT_EQ(module.program_entry("hbalogd /regserver"), 0);
  expect_value(hive_root::classes_root, logd::module_appid_key, nullptr, win::reg_sz, sz("hbalogd"));
  expect_value(hive_root::classes_root, logd::module_exe_key, "AppID", win::reg_sz, sz(logd::module_appid));
  expect_absent(hive_root::classes_root, logd::module_appid_key, "LocalService");
  expect_absent(hive_root::classes_root, logd::module_appid_key, "ServiceParameters");
  EXPECT_FALSE(module.service_installed());
  EXPECT_FALSE(key_exists(hive_root::local_machine, service_key));
  EXPECT_FALSE(key_exists(hive_root::local_machine, logd::event_source_key));
  // The type library is registered with every registration.
  expect_value(hive_root::classes_root, typelib_version, nullptr, win::reg_sz, sz("HBALOGDLib"));
  expect_value(hive_root::classes_root, typelib_win64, nullptr, win::reg_sz, sz(rig_program_path));
  EXPECT_EQ(worker_runs, 0);
  EXPECT_EQ(services.dispatcher_calls, 0);
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(Registration, ServiceSwitchInstallsTheServiceAndItsEventSource) {
  EXPECT_EQ(module.program_entry("hbalogd -Service"), 0);
  expect_value(hive_root::classes_root, logd::module_appid_key, nullptr, win::reg_sz, sz("hbalogd"));
  expect_value(hive_root::classes_root, logd::module_appid_key, "LocalService", win::reg_sz, sz("hbalogd"));
  expect_value(hive_root::classes_root, logd::module_appid_key, "ServiceParameters", win::reg_sz, sz("-Service"));
  expect_value(hive_root::classes_root, logd::module_exe_key, "AppID", win::reg_sz, sz(logd::module_appid));

  expect_value(hive_root::local_machine, service_key, "Type", win::reg_dword, dword(0x10));
  expect_value(hive_root::local_machine, service_key, "Start", win::reg_dword, dword(2));
  expect_value(hive_root::local_machine, service_key, "ErrorControl", win::reg_dword, dword(1));
  expect_value(hive_root::local_machine, service_key, "ImagePath", win::reg_expand_sz,
               sz(std::string("\"") + rig_program_path + "\""));
  expect_value(hive_root::local_machine, service_key, "DependOnService", win::reg_multi_sz,
               std::string("RPCSS\0\0", 7));
  expect_value(hive_root::local_machine, service_key, "ObjectName", win::reg_sz, sz("LocalSystem"));
  expect_value(hive_root::local_machine, service_key, "DisplayName", win::reg_sz, sz("hbalogd"));
  // The wait after the preshutdown control covers the capture's drain.
  expect_value(hive_root::local_machine, service_key, "PreshutdownTimeout", win::reg_dword, dword(30000));

  expect_value(hive_root::local_machine, logd::event_source_key, "EventMessageFile", win::reg_expand_sz,
               sz(rig_program_path));
  expect_value(hive_root::local_machine, logd::event_source_key, "TypesSupported", win::reg_dword, dword(5));
  EXPECT_TRUE(module.service_installed());
  EXPECT_EQ(worker_runs, 0);
  EXPECT_TRUE(dialogs.messages.empty());
}

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

TEST_F(Registration, ServiceManagerFailuresShowTheirMessageBoxAndFailTheRegistration) {
  services.fail_manager = true;
  EXPECT_EQ(module.program_entry("hbalogd /Service"), service_step_failed);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, "サービス マネージャーを開けませんでした");
  EXPECT_EQ(dialogs.messages[0].caption, "hbalogd");
  EXPECT_FALSE(dialogs.messages[0].ansi);
  services.fail_manager = false;

  services.fail_create = true;
  EXPECT_EQ(module.program_entry("hbalogd /Service"), service_step_failed);
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].text, "サービスを作成できませんでした");
  EXPECT_FALSE(key_exists(hive_root::local_machine, logd::event_source_key));
  services.fail_create = false;

  // A service whose preshutdown timeout cannot be set is still installed; the
  // failure is said once.
  services.fail_preshutdown_timeout = true;
  EXPECT_EQ(module.program_entry("hbalogd /Service"), 0);
  EXPECT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(logs.texts(), std::vector<std::string>{"Preshutdown timeout not set. Return code is 5."});
  services.fail_preshutdown_timeout = false;

  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  ASSERT_TRUE(module.service_installed());
  services.fail_open_for_delete = true;
  EXPECT_EQ(module.program_entry("hbalogd /RegServer"), service_step_failed);
  ASSERT_EQ(dialogs.messages.size(), 3u);
  EXPECT_EQ(dialogs.messages[2].text, "サービスを開けませんでした");
  EXPECT_TRUE(module.service_installed());
  services.fail_open_for_delete = false;

  services.fail_delete = true;
  EXPECT_EQ(module.program_entry("hbalogd /UnregServer"), service_step_failed);
  ASSERT_EQ(dialogs.messages.size(), 4u);
  EXPECT_EQ(dialogs.messages[3].text, "サービスは削除できませんでした");
  EXPECT_EQ(dialogs.messages[3].caption, "hbalogd");
  EXPECT_TRUE(module.service_installed());
  services.fail_delete = false;

  // A running service that refuses the stop is neither deleted nor replaced.
  services.runs_refusing_stop = true;
  EXPECT_EQ(module.program_entry("hbalogd /Service"), service_step_failed);
  ASSERT_EQ(dialogs.messages.size(), 5u);
  EXPECT_EQ(dialogs.messages[4].text, "サービスは削除できませんでした");
  services.runs_refusing_stop = false;
  EXPECT_TRUE(module.service_installed());
  EXPECT_EQ(read_value(hive_root::local_machine, service_key, "DeleteFlag").rc, win::error_file_not_found);
}

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

TEST_F(Registration, WithoutItsOwnPathTheProgramDoesNotCreateAServiceThatCannotStart) {
  module.init("hbalogd", "");
  EXPECT_EQ(module.program_entry("hbalogd /Service"), service_step_failed);
  EXPECT_FALSE(module.service_installed());
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text, "サービスを作成できませんでした");
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
