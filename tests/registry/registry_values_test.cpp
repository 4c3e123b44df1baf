// The registry seam as the simulated host serves it: Windows' value and key
// semantics, on hive files below a throw-away host root.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/registry.h"
#include "platform/sim/hive.h"
#include "platform/win_codes.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/file_bytes.h"

namespace kvx::platform {
namespace {

using test::file_text;

constexpr const char* device_key = "SYSTEM\\CurrentControlSet\\Services\\kvxwdd\\Parameters\\Device";

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

class RegistryValues : public ::testing::Test {
 protected:
  unique_reg_key create(const char* subkey, hive_root root = hive_root::local_machine) {
    unique_reg_key key;
    EXPECT_EQ(reg.create_key(root, subkey, win::key_all_access, key, nullptr), win::error_success);
    return key;
  }
  unique_reg_key open(const char* subkey, std::uint32_t access = win::key_all_access) {
    unique_reg_key key;
    EXPECT_EQ(reg.open_key(hive_root::local_machine, subkey, access, key), win::error_success) << subkey;
    return key;
  }
  void set(registry_key& key, const char* name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
    ASSERT_EQ(key.set_value(name, type, data.data(), static_cast<std::uint32_t>(data.size())), win::error_success);
  }
  // The value as a fresh handle reads it back from the hive file.
  std::vector<std::uint8_t> stored(const char* subkey, const char* name, std::uint32_t& type) {
    unique_reg_key key = open(subkey, win::key_read);
    std::uint32_t size = 0;
    EXPECT_EQ(key->query_value(name, &type, nullptr, &size), win::error_success) << name;
    std::vector<std::uint8_t> data(size);
    EXPECT_EQ(key->query_value(name, nullptr, data.data(), &size), win::error_success);
    EXPECT_EQ(size, data.size());
    return data;
  }

  test::temp_host host;
  registry& reg = backend_registry();
};

TEST_F(RegistryValues, EveryTypeRoundTripsThroughTheHiveFile) {
  const struct {
    const char* name;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
  } cases[] = {
      {"DriverParameter", win::reg_sz, bytes("LinkSpeed=2;")},  // written without its NUL
      {"DriverParameter0", win::reg_sz, {0}},                   // an empty text is one NUL byte
      {"error_log_file_path", win::reg_sz, bytes(std::string("C:\\Program Files\\log\0", 21))},
      {"EventMessageFile", win::reg_expand_sz, bytes(std::string("%SystemRoot%\\hbalogd.exe\0", 25))},
      {"TypesSupported", win::reg_dword, {5, 0, 0, 0}},
      {"max_record_count", win::reg_qword, {0, 0x10, 0, 0, 0, 0, 0, 0x80}},
      {"blob", win::reg_binary, {0, 0xFF, 0x0A, 0x0D, 0x22, 0x5C}},
      {"nothing", win::reg_binary, {}},
      {"DependOnService", win::reg_multi_sz, bytes(std::string("RPCSS\0\0", 7))},
  };
  unique_reg_key key = create(device_key);
  for (const auto& c : cases) set(*key, c.name, c.type, c.data);
  for (const auto& c : cases) {
    std::uint32_t type = 0;
    EXPECT_EQ(stored(device_key, c.name, type), c.data) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
  }
}

TEST_F(RegistryValues, QueryProbesSizesAndRefusesSmallBuffers) {
  unique_reg_key key = create("SOFTWARE\\Velmora\\kvxwdd\\hbalogd");
  set(*key, "max_record_count", win::reg_qword, {1, 2, 3, 4, 5, 6, 7, 8});

  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(key->query_value("max_record_count", &type, nullptr, &size), win::error_success);
  EXPECT_EQ(size, 8U);
  EXPECT_EQ(type, win::reg_qword);
  EXPECT_EQ(key->query_value("max_record_count", nullptr, nullptr, nullptr), win::error_success);

  std::uint8_t small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  size = sizeof small;
  type = 0;
  EXPECT_EQ(key->query_value("max_record_count", &type, small, &size), win::error_more_data);
  EXPECT_EQ(size, 8U);
  EXPECT_EQ(type, win::reg_qword);
  EXPECT_EQ(small[0], 0xEE) << "a refused buffer is left alone";

  std::uint8_t exact[8] = {};
  size = sizeof exact;
  EXPECT_EQ(key->query_value("max_record_count", nullptr, exact, &size), win::error_success);
  EXPECT_EQ(exact[7], 8);
  EXPECT_EQ(key->query_value("max_record_count", nullptr, exact, nullptr), win::error_invalid_parameter);

  EXPECT_EQ(key->query_value("absent", &type, nullptr, &size), win::error_file_not_found);
  EXPECT_EQ(key->delete_value("absent"), win::error_file_not_found);
  EXPECT_EQ(key->set_value("x", win::reg_binary, nullptr, 4), win::error_invalid_parameter);
  EXPECT_EQ(key->set_value("bad\nname", win::reg_sz, exact, 1), win::error_invalid_parameter);
}

TEST_F(RegistryValues, NamesIgnoreCaseAndKeepTheCaseTheyWereMadeWith) {
  unique_reg_key key = create("SOFTWARE\\Velmora\\kvxwdd");
  set(*key, "LinkSpeed", win::reg_sz, bytes("a"));
  set(*key, "LINKSPEED", win::reg_sz, bytes("b"));
  set(*key, nullptr, win::reg_sz, bytes("default"));

  std::uint32_t type = 0;
  EXPECT_EQ(stored("software\\VELMORA\\KvxWdd", "linkspeed", type), bytes("b"));
  EXPECT_EQ(stored("SOFTWARE\\Velmora\\kvxwdd", "", type), bytes("default")) << "null and \"\" name the default value";
  const std::string hive = file_text(sim::hive_file(hive_root::local_machine));
  EXPECT_NE(hive.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\kvxwdd]"), std::string::npos) << hive;
  EXPECT_NE(hive.find("\"LinkSpeed\"="), std::string::npos) << hive;
  EXPECT_EQ(hive.find("LINKSPEED"), std::string::npos) << hive;
}

TEST_F(RegistryValues, KeysAreCreatedOpenedAndDeletedAsOnWindows) {
  unique_reg_key key;
  EXPECT_EQ(reg.open_key(hive_root::local_machine, "SOFTWARE\\Velmora", win::key_read, key), win::error_file_not_found);
  EXPECT_EQ(key, nullptr);
  bool created = false;
  ASSERT_EQ(reg.create_key(hive_root::local_machine, "SOFTWARE\\Velmora\\kvxwdd", win::key_all_access, key, &created),
            win::error_success);
  EXPECT_TRUE(created);
  ASSERT_EQ(reg.create_key(hive_root::local_machine, "software\\velmora\\KVXWDD", win::key_all_access, key, &created),
            win::error_success);
  EXPECT_FALSE(created);
  EXPECT_EQ(reg.create_key(hive_root::local_machine, "\\SOFTWARE", win::key_all_access, key, nullptr),
            win::error_invalid_parameter);
  EXPECT_EQ(reg.create_key(hive_root::local_machine, "a\\\\b", win::key_all_access, key, nullptr),
            win::error_invalid_parameter);
  key = open("SOFTWARE\\Velmora");  // keys on the way were made too
  key = open("");                   // the root itself

  // HKEY_CLASSES_ROOT is a tree of its own.
  EXPECT_EQ(reg.open_key(hive_root::classes_root, "SOFTWARE", win::key_read, key), win::error_file_not_found);
  create("AppID\\hbalogd.EXE", hive_root::classes_root);
  EXPECT_EQ(reg.open_key(hive_root::local_machine, "AppID", win::key_read, key), win::error_file_not_found);

  EXPECT_EQ(reg.delete_key(hive_root::local_machine, "SOFTWARE\\Velmora"), win::error_access_denied);
  EXPECT_EQ(reg.delete_key(hive_root::local_machine, "SOFTWARE\\Nothing"), win::error_file_not_found);
  EXPECT_EQ(reg.delete_key(hive_root::local_machine, ""), win::error_access_denied);
  EXPECT_EQ(reg.delete_key(hive_root::classes_root, "AppID\\hbalogd.exe"), win::error_success);
  EXPECT_EQ(reg.open_key(hive_root::classes_root, "AppID\\hbalogd.EXE", win::key_read, key), win::error_file_not_found);
  key = nullptr;
  EXPECT_EQ(reg.open_key(hive_root::classes_root, "AppID", win::key_read, key), win::error_success);
}

TEST_F(RegistryValues, HandlesFollowTheHiveAndFailOnceTheirKeyIsDeleted) {
  unique_reg_key writer = create("SOFTWARE\\Velmora\\kvxwdd\\hbalogd");
  unique_reg_key reader = open("SOFTWARE\\Velmora\\kvxwdd\\hbalogd", win::key_query_value);
  set(*writer, "dump_data_size", win::reg_dword, {104, 0, 0, 0});
  std::uint32_t size = 0;
  EXPECT_EQ(reader->query_value("dump_data_size", nullptr, nullptr, &size), win::error_success);
  EXPECT_EQ(reader->set_value("x", win::reg_dword, nullptr, 0), win::error_access_denied) << "opened for queries only";
  EXPECT_EQ(reader->delete_value("dump_data_size"), win::error_access_denied);

  ASSERT_EQ(reg.delete_key(hive_root::local_machine, "SOFTWARE\\Velmora\\kvxwdd\\hbalogd"), win::error_success);
  EXPECT_EQ(reader->query_value("dump_data_size", nullptr, nullptr, &size), win::error_key_deleted);
  EXPECT_EQ(writer->set_value("x", win::reg_dword, nullptr, 0), win::error_key_deleted);
  EXPECT_EQ(writer->delete_value("dump_data_size"), win::error_key_deleted);
  unique_reg_key gone;
  EXPECT_EQ(reg.open_key(hive_root::local_machine, "SOFTWARE\\Velmora\\kvxwdd\\hbalogd", win::key_read, gone),
            win::error_file_not_found)
      << "a write through a deleted key's handle does not bring the key back";

  EXPECT_EQ(writer->close(), win::error_success);
  EXPECT_EQ(writer->close(), win::error_invalid_handle);
  EXPECT_EQ(writer->query_value("x", nullptr, nullptr, &size), win::error_invalid_handle);
}

TEST_F(RegistryValues, ACorruptHiveIsReportedAndNeverOverwritten) {
  create("SOFTWARE\\Velmora");
  const std::filesystem::path hive = sim::hive_file(hive_root::local_machine);
  const std::string damaged = file_text(hive) + "\"orphan\"=dword:zz\n";
  std::ofstream(hive, std::ios::binary | std::ios::trunc) << damaged;

  unique_reg_key key;
  EXPECT_EQ(reg.open_key(hive_root::local_machine, "SOFTWARE\\Velmora", win::key_read, key),
            win::error_registry_corrupt);
  EXPECT_EQ(reg.create_key(hive_root::local_machine, "SOFTWARE\\Other", win::key_all_access, key, nullptr),
            win::error_registry_corrupt);
  EXPECT_EQ(reg.delete_key(hive_root::local_machine, "SOFTWARE\\Velmora"), win::error_registry_corrupt);
  EXPECT_EQ(file_text(hive), damaged) << "the person's edit is kept for them to mend";

  // The other root's hive is unaffected.
  EXPECT_EQ(reg.create_key(hive_root::classes_root, "AppID", win::key_all_access, key, nullptr), win::error_success);
}

}  // namespace
}  // namespace kvx::platform
