// simhost reg, called in this process: reg.exe's syntax, output layout and
// exit codes, and that a failed command leaves the host as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/registry.h"
#include "platform/sim/hive.h"
#include "platform/win_codes.h"
#include "simhost/commands.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/file_bytes.h"
#include "tests/support/process.h"

namespace kvx::simhost {
namespace {

using test::file_text;

test::command_result reg(const arguments& args) {
  return test::run_captured([&] { return run_reg(args); });
}

constexpr const char* not_found = "ERROR: The system was unable to find the specified registry key or value.\n";
constexpr const char* ok = "The operation completed successfully.\n";

class RegCommand : public ::testing::Test {
 protected:
  std::string hive() const { return file_text(host.root() / "registry" / "HKEY_LOCAL_MACHINE.reg"); }
  void add(const arguments& args) {
    const test::command_result r = reg(args);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out, ok);
  }

  test::temp_host host;
};

TEST_F(RegCommand, QueryLaysOutKeysAndValuesAsRegExe) {
  const std::string key = "HKLM\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd";
  add({"add", key, "/v", "max_record_count", "/t", "REG_DWORD", "/d", "4096"});
  add({"add", key, "/v", "error_log_file_path", "/d", "C:\\Program Files\\log"});
  add({"add", key, "/v", "blob", "/t", "reg_binary", "/d", "00ff1A"});
  add({"add", key, "/v", "big", "/t", "REG_QWORD", "/d", "0x100000000"});
  add({"add", key, "/v", "deps", "/t", "REG_MULTI_SZ", "/d", "RPCSS\\0Tcpip"});
  add({"add", key, "/v", "items", "/t", "REG_MULTI_SZ", "/s", "#", "/d", "a#b"});
  add({"add", key, "/ve", "/t", "REG_EXPAND_SZ", "/d", "%SystemRoot%"});
  add({"add", key + "\\Sub"});

  test::command_result r = reg({"query", "hklm\\software\\velmora\\KVXWDD\\hbalogd"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd\n"
            "    max_record_count    REG_DWORD    0x1000\n"
            "    error_log_file_path    REG_SZ    C:\\Program Files\\log\n"
            "    blob    REG_BINARY    00FF1A\n"
            "    big    REG_QWORD    0x100000000\n"
            "    deps    REG_MULTI_SZ    RPCSS\\0Tcpip\n"
            "    items    REG_MULTI_SZ    a\\0b\n"
            "    (Default)    REG_EXPAND_SZ    %SystemRoot%\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd\\Sub\n");

  r = reg({"query", key, "/v", "BLOB"});
  EXPECT_EQ(r.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd\n    blob    REG_BINARY    00FF1A\n\n");

  r = reg({"query", "HKLM\\SOFTWARE", "/s", "/v", "max_record_count"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd\n"
            "    max_record_count    REG_DWORD    0x1000\n"
            "\nEnd of search: 1 match(es) found.\n");

  r = reg({"query", key + "\\Sub", "/ve"});
  EXPECT_EQ(r.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd\\Sub\n"
            "    (Default)    REG_SZ    (value not set)\n\n");

  for (const arguments& absent : {arguments{"query", key, "/v", "nothing"}, arguments{"query", "HKLM\\NoSuchKey"},
                                  arguments{"query", "HKCR\\SOFTWARE"}}) {
    r = reg(absent);
    EXPECT_EQ(r.status, 1) << absent[1];
    EXPECT_EQ(r.err, not_found);
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(RegCommand, ExactBytesShowWhatTheSeamStored) {
  platform::unique_reg_key key;
  ASSERT_EQ(platform::backend_registry().create_key(platform::hive_root::local_machine,
                                                    "SYSTEM\\CurrentControlSet\\Services\\kvxwdd\\Parameters\\Device",
                                                    win::key_all_access, key, nullptr),
            win::error_success);
  const std::uint8_t text[] = {'L', 'i', 'n', 'k', 'S', 'p', 'e', 'e', 'd', '=', '2', ';'};
  const std::uint8_t empty[] = {0};
  ASSERT_EQ(key->set_value("DriverParameter", win::reg_sz, text, sizeof text), win::error_success);
  ASSERT_EQ(key->set_value("DriverParameter0", win::reg_sz, empty, sizeof empty), win::error_success);
  ASSERT_EQ(key->set_value("DriverParameter1", win::reg_sz, nullptr, 0), win::error_success);

  const std::string device = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\kvxwdd\\Parameters\\Device";
  test::command_result r = reg({"query", device, "/x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\nHKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvxwdd\\Parameters\\Device\n"
            "    DriverParameter    REG_SZ    12    4C696E6B53706565643D323B\n"
            "    DriverParameter0    REG_SZ    1    00\n"
            "    DriverParameter1    REG_SZ    0\n");
  r = reg({"query", device, "/v", "DriverParameter"});
  EXPECT_EQ(r.out, "\nHKEY_LOCAL_MACHINE" + device.substr(4) + "\n    DriverParameter    REG_SZ    LinkSpeed=2;\n\n");
}

TEST_F(RegCommand, AddConvertsDataAndOverwritesOnlyWithF) {
  const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\T";
  add({"add", key, "/v", "d", "/t", "REG_DWORD", "/d", "4294967295"});
  test::command_result r = reg({"add", key, "/v", "D", "/t", "REG_DWORD", "/d", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/f"), std::string::npos) << r.err;
  EXPECT_EQ(reg({"query", key, "/v", "d", "/x"}).out, "\n" + key + "\n    d    REG_DWORD    4    FFFFFFFF\n\n");
  add({"add", key, "/v", "D", "/t", "REG_DWORD", "/d", "0x1F", "/f"});
  EXPECT_EQ(reg({"query", key, "/v", "d", "/x"}).out, "\n" + key + "\n    d    REG_DWORD    4    1F000000\n\n");

  add({"add", key, "/v", "none"});
  add({"add", key, "/v", "zero", "/t", "REG_DWORD"});
  add({"add", key, "/v", "empty list", "/t", "REG_MULTI_SZ"});
  r = reg({"query", key, "/x"});
  EXPECT_NE(r.out.find("    none    REG_SZ    1    00\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    zero    REG_DWORD    4    00000000\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    empty list    REG_MULTI_SZ    1    00\n"), std::string::npos) << r.out;
}

TEST_F(RegCommand, BadArgumentsFailAndChangeNothing) {
  add({"add", "HKLM\\SOFTWARE\\T", "/v", "keep", "/d", "x"});
  const std::string before = hive();
  const arguments bad[] = {
      {},
      {"frobnicate", "HKLM\\SOFTWARE\\T"},
      {"add"},
      {"add", "HKCU\\Software\\T", "/v", "a"},
      {"add", "HKLM\\SOFTWARE\\\\T", "/v", "a"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/t", "REG_DWORD", "/d", "abc"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/t", "REG_DWORD", "/d", "-1"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/t", "REG_DWORD", "/d", "0x100000000"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/t", "REG_QWORD", "/d", "18446744073709551616"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/t", "REG_BINARY", "/d", "abc"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/t", "REG_BINARY", "/d", "zz"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/t", "REG_SZ", "/s", "#"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/t", "REG_LINK"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/ve"},
      {"add", "HKLM\\SOFTWARE\\New", "/v"},
      {"add", "HKLM\\SOFTWARE\\New", "/v", "a", "/v", "b"},
      {"add", "HKLM\\SOFTWARE\\New", "/d", "x"},
      {"add", "HKLM\\SOFTWARE\\New", "HKLM\\SOFTWARE\\Other"},
      {"add", "HKLM\\SOFTWARE\\New", "/q"},
      {"add", "HKLM\\SOFTWARE\\T", "/v", "keep", "/d", "changed"},
      {"delete", "HKLM\\SOFTWARE\\T"},
      {"delete", "HKLM\\SOFTWARE\\T", "/v", "keep"},
      {"delete", "HKLM", "/f"},
      {"delete", "HKLM\\SOFTWARE\\T", "/v", "keep", "/va", "/f"},
      {"query", "HKLM\\SOFTWARE\\T", "/v", "keep", "/ve"},
      {"import"},
      {"import", "/nonexistent/file.reg"},
      {"export", "HKLM\\SOFTWARE\\T"},
  };
  for (const arguments& args : bad) {
    const test::command_result r = reg(args);
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    EXPECT_NE(r.status, 0) << shown;
    EXPECT_NE(r.err.rfind("ERROR: ", 0), std::string::npos) << shown << "-> " << r.err;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_EQ(hive(), before) << shown;
  }
  EXPECT_EQ(reg({"/?"}).status, 0);
  EXPECT_NE(reg({"query", "/?"}).out.find("simhost reg query KEY"), std::string::npos);
}

TEST_F(RegCommand, DeleteRemovesValuesOrWholeTrees) {
  const std::string key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\kvxwdd";
  add({"add", key, "/v", "a", "/d", "1"});
  add({"add", key, "/v", "b", "/d", "2"});
  add({"add", key, "/ve", "/d", "d"});
  add({"add", key + "\\Parameters\\Device", "/v", "Adapter0", "/d", "50060B0000C26204"});

  EXPECT_EQ(reg({"delete", key, "/v", "A", "/f"}).status, 0);
  EXPECT_EQ(reg({"query", key, "/v", "a"}).status, 1);
  EXPECT_EQ(reg({"delete", key, "/ve", "/f"}).status, 0);
  EXPECT_EQ(reg({"delete", key, "/ve", "/f"}).err, not_found);
  EXPECT_EQ(reg({"delete", key, "/va", "/f"}).status, 0);
  EXPECT_EQ(reg({"query", key}).out,
            "\nHKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvxwdd\n"
            "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvxwdd\\Parameters\n");
  EXPECT_EQ(reg({"delete", key, "/f"}).status, 0) << "a key goes with everything below it";
  EXPECT_EQ(reg({"query", key + "\\Parameters\\Device"}).status, 1);
  EXPECT_EQ(reg({"query", "HKLM\\SYSTEM\\CurrentControlSet\\Services"}).status, 0);
  EXPECT_EQ(reg({"delete", key, "/f"}).err, not_found);
}

TEST_F(RegCommand, ExportAndImportCarryKeysBetweenHosts) {
  add({"add", "HKCR\\AppID\\{7A3E91C2-4B5D-4F60-9E21-5C8D0B6A4F17}", "/ve", "/d", "hbalogd"});
  add({"add", "HKCR\\AppID\\hbalogd.EXE", "/v", "AppID", "/d", "{7A3E91C2-4B5D-4F60-9E21-5C8D0B6A4F17}"});
  add({"add", "HKLM\\SOFTWARE\\Velmora", "/v", "bin", "/t", "REG_BINARY", "/d", std::string(400, 'a')});
  const std::filesystem::path appid = host.root() / "appid.reg";
  const std::filesystem::path velmora = host.root() / "velmora.reg";
  ASSERT_EQ(reg({"export", "hkcr\\appid", appid.string()}).status, 0);
  ASSERT_EQ(reg({"export", "HKLM\\SOFTWARE\\Velmora", velmora.string()}).status, 0);
  EXPECT_EQ(reg({"export", "HKLM\\SOFTWARE\\Velmora", velmora.string()}).status, 1) << "exists, no /y";
  EXPECT_EQ(reg({"export", "HKLM\\SOFTWARE\\Velmora", velmora.string(), "/y"}).status, 0);
  EXPECT_EQ(file_text(appid).rfind("Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\AppID]\n\n", 0), 0U)
      << file_text(appid);
  const std::string classes_before = file_text(host.root() / "registry" / "HKEY_CLASSES_ROOT.reg");
  const std::string machine_before = hive();

  // A file whose second half is bad changes neither hive.
  {
    std::ofstream bad(host.root() / "bad.reg", std::ios::binary);
    bad << "Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_CLASSES_ROOT\\AppID]\r\n[HKLM\\X]\r\n\"v\"=hex:zz\r\n";
  }
  test::command_result r = reg({"import", (host.root() / "bad.reg").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("line 5"), std::string::npos) << r.err;
  EXPECT_EQ(file_text(host.root() / "registry" / "HKEY_CLASSES_ROOT.reg"), classes_before);

  ASSERT_EQ(reg({"delete", "HKCR\\AppID", "/f"}).status, 0);
  ASSERT_EQ(reg({"delete", "HKLM\\SOFTWARE", "/f"}).status, 0);
  ASSERT_EQ(reg({"import", appid.string()}).status, 0);
  ASSERT_EQ(reg({"import", velmora.string()}).status, 0);
  EXPECT_EQ(file_text(host.root() / "registry" / "HKEY_CLASSES_ROOT.reg"), classes_before);
  EXPECT_EQ(hive(), machine_before);
}

}  // namespace
}  // namespace kvx::simhost
