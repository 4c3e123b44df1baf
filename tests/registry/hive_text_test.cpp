// The .reg text of the simulated registry: what a person or regedit writes,
// what the hive files hold, and what a corrupt file gives.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/sim/hive.h"
#include "platform/win_codes.h"

namespace kvx::sim {
namespace {

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

reg_key parse_tree(std::string_view text, hive_root root = hive_root::local_machine) {
  std::vector<reg_edit> edits;
  hive_error e;
  EXPECT_EQ(parse_reg_text(text, edits, e), 0) << e.message;
  reg_key top;
  apply_edits(edits, root, top);
  return top;
}

const reg_value* value_at(const reg_key& top, std::string_view subkey, std::string_view name) {
  key_path path;
  EXPECT_EQ(split_subkey(subkey, path), 0);
  const reg_key* k = top.find(path);
  return k != nullptr ? k->find_value(name) : nullptr;
}

// Trees are equal when every key, name, type and byte is.
void expect_same_tree(const reg_key& a, const reg_key& b) {
  ASSERT_EQ(a.name(), b.name());
  ASSERT_EQ(a.values().size(), b.values().size()) << a.name();
  for (std::size_t i = 0; i < a.values().size(); ++i) {
    EXPECT_EQ(a.values()[i].name, b.values()[i].name);
    EXPECT_EQ(a.values()[i].type, b.values()[i].type) << a.values()[i].name;
    EXPECT_EQ(a.values()[i].data, b.values()[i].data) << a.values()[i].name;
  }
  ASSERT_EQ(a.subkeys().size(), b.subkeys().size()) << a.name();
  for (std::size_t i = 0; i < a.subkeys().size(); ++i) expect_same_tree(a.subkeys()[i], b.subkeys()[i]);
}

TEST(HiveText, ReadsWhatAPersonWrites) {
  const reg_key top = parse_tree(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; the logger's settings\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd]\r\n"
      "\"error_log_file_path\"=\"C:\\\\Program Files\\\\velmora\\\\log\"\r\n"
      "  \"max_record_count\" = dword:1f   ; short is fine\r\n"
      "@=\"say \\\"hi\\\"\"\r\n"
      "\"blob\"=hex:01,02,\\\r\n"
      "  03 , ff\r\n"
      "\"wide\"=hex(1):41,00,42,00\r\n"
      "\"empty\"=hex:\r\n"
      "\r\n"
      "[hklm\\SOFTWARE\\Gone]\r\n"
      "\"x\"=\"1\"\r\n"
      "[-HKEY_LOCAL_MACHINE\\software\\gone]\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd]\r\n"
      "\"blob\"=-\r\n");
  const std::string key = "SOFTWARE\\Velmora\\kvxwdd\\hbalogd";
  ASSERT_NE(value_at(top, key, "error_log_file_path"), nullptr);
  EXPECT_EQ(value_at(top, key, "error_log_file_path")->data,
            bytes(std::string("C:\\Program Files\\velmora\\log\0", 29)));
  EXPECT_EQ(value_at(top, key, "MAX_RECORD_COUNT")->data, (std::vector<std::uint8_t>{0x1f, 0, 0, 0}));
  EXPECT_EQ(value_at(top, key, "")->data, bytes(std::string("say \"hi\"\0", 9)));
  EXPECT_EQ(value_at(top, key, "wide")->type, win::reg_sz);
  EXPECT_EQ(value_at(top, key, "wide")->data, bytes("AB"));
  EXPECT_TRUE(value_at(top, key, "empty")->data.empty());
  EXPECT_EQ(value_at(top, key, "blob"), nullptr);
  EXPECT_EQ(top.find_subkey("software")->find_subkey("Gone"), nullptr);
}

TEST(HiveText, RegEdit4StringsAreOneBytePerCharacterAndUtf16FilesAreRead) {
  const reg_key v4 =
      parse_tree("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\AppID]\n\"p\"=hex(2):25,41,25,00\n", hive_root::classes_root);
  EXPECT_EQ(value_at(v4, "AppID", "p")->data, bytes(std::string("%A%\0", 4)));

  const std::string ascii = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"n\"=\"v\"\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : ascii) utf16 += std::string{c, '\0'};
  const reg_key top = parse_tree(utf16);
  EXPECT_EQ(value_at(top, "A", "n")->data, bytes(std::string("v\0", 2)));
}

TEST(HiveText, EveryTypeRoundTripsByteForByte) {
  reg_key top;
  reg_key& k = top.make({"SYSTEM", "Quote\"And]Bracket"}, nullptr);
  k.set_value("LinkSpeed=2; no NUL", win::reg_sz, bytes("LinkSpeed=2;"));
  k.set_value("empty text", win::reg_sz, {0});
  k.set_value("no bytes", win::reg_sz, {});
  k.set_value("odd bytes", win::reg_sz, {'a', 0, 0xE9, '\n', 0});
  k.set_value("", win::reg_sz, bytes(std::string("back\\slash \"q\"\0", 16)));
  k.set_value("EventMessageFile", win::reg_expand_sz, bytes(std::string("%SystemRoot%\\x.exe\0", 19)));
  k.set_value("DependOnService", win::reg_multi_sz, bytes(std::string("RPCSS\0\0", 7)));
  k.set_value("TypesSupported", win::reg_dword, {5, 0, 0, 0});
  k.set_value("short dword", win::reg_dword, {1, 2});
  k.set_value("max_record_count", win::reg_qword, {1, 2, 3, 4, 5, 6, 7, 8});
  k.set_value("name \\ with \"quotes\"", win::reg_binary, {});
  k.set_value("big endian", 5, {0, 0, 0, 1});
  std::vector<std::uint8_t> long_binary(300);
  for (std::size_t i = 0; i < long_binary.size(); ++i) long_binary[i] = static_cast<std::uint8_t>(i * 7);
  k.set_value("long", win::reg_binary, long_binary);
  top.make({"SYSTEM", "EmptyKey"}, nullptr);

  const std::string text = format_reg_text(hive_root::local_machine, {}, top);
  for (std::size_t start = 0, end = 0; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    EXPECT_LE(end - start, 80U) << "regedit wraps long lines: " << text.substr(start, end - start);
  }
  EXPECT_NE(text.find("\"TypesSupported\"=dword:00000005\n"), std::string::npos);
  EXPECT_NE(text.find("\"empty text\"=\"\"\n"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\EmptyKey]\n"), std::string::npos);
  expect_same_tree(parse_tree(text), top);
}

TEST(HiveText, NamesCompareWithoutCaseAndKeepTheirCase) {
  reg_key top;
  bool created = false;
  top.make({"Software", "Velmora"}, &created);
  EXPECT_TRUE(created);
  top.make({"SOFTWARE", "velmora"}, &created);
  EXPECT_FALSE(created);
  top.make({"software", "alpha"}, nullptr);
  ASSERT_EQ(top.subkeys().size(), 1U);
  EXPECT_EQ(top.subkeys()[0].name(), "Software");
  ASSERT_EQ(top.subkeys()[0].subkeys().size(), 2U);
  EXPECT_EQ(top.subkeys()[0].subkeys()[0].name(), "alpha") << "subkeys are listed in name order";

  reg_key& k = *top.find({"SOFTWARE", "VELMORA"});
  k.set_value("LinkSpeed", win::reg_sz, {0});
  k.set_value("LINKSPEED", win::reg_dword, {1, 0, 0, 0});
  ASSERT_EQ(k.values().size(), 1U);
  EXPECT_EQ(k.values()[0].name, "LinkSpeed");
  EXPECT_EQ(k.values()[0].type, win::reg_dword);
}

TEST(HiveText, KeyNames) {
  hive_root root{};
  key_path path;
  ASSERT_EQ(parse_full_key_name("hklm\\SOFTWARE\\Velmora\\", root, path), 0);
  EXPECT_EQ(root, hive_root::local_machine);
  EXPECT_EQ(path, (key_path{"SOFTWARE", "Velmora"}));
  ASSERT_EQ(parse_full_key_name("HKEY_CLASSES_ROOT", root, path), 0);
  EXPECT_EQ(root, hive_root::classes_root);
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(full_key_name(hive_root::classes_root, {"AppID", "x"}), "HKEY_CLASSES_ROOT\\AppID\\x");
  for (const std::string& bad :
       std::vector<std::string>{"HKCU\\Software", "HKLM\\a\\\\b", "HKLMX\\a", "", "HKLM\\a\\b\\\\",
                                "HKLM\\" + std::string(256, 'k'), std::string("HKLM\\a\tb")}) {
    EXPECT_NE(parse_full_key_name(bad, root, path), 0) << bad;
  }
  EXPECT_NE(split_subkey("\\SOFTWARE", path), 0);
  EXPECT_EQ(split_subkey("", path), 0);
  EXPECT_TRUE(path.empty());
}

TEST(HiveText, CorruptTextIsRefusedWithItsLine) {
  const std::string head = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n";
  const struct {
    std::string text;
    const char* where;
  } cases[] = {
      {"", "line 1"},
      {"Windows Registry Editor Version 4.00\n", "line 1"},
      {head + "[HKEY_LOCAL_MACHINE\\B\n", "line 4"},
      {head + "[HKEY_CURRENT_USER\\B]\n", "line 4"},
      {head + "[HKEY_LOCAL_MACHINE\\B] junk\n", "line 4"},
      {head + "[-HKEY_LOCAL_MACHINE]\n", "line 4"},
      {"Windows Registry Editor Version 5.00\n\"v\"=\"x\"\n", "line 2"},
      {head + "\"v\"=\"unterminated\n", "line 4"},
      {head + "\"v\"=\"C:\\dir\"\n", "line 4"},
      {head + "\"v\" \"x\"\n", "line 4"},
      {head + "\"v\"=dword:123456789\n", "line 4"},
      {head + "\"v\"=dword:xyz\n", "line 4"},
      {head + "\"v\"=hex:01,0g\n", "line 4"},
      {head + "\"v\"=hex:01,\n", "line 4"},
      {head + "\"v\"=hex:01,,02\n", "line 4"},
      {head + "\"v\"=hex:101\n", "line 4"},
      {head + "\"v\"=hex:01,\\\n", "line 4"},
      {head + "\"v\"=hex(zz):01\n", "line 4"},
      {head + "\"v\"=hex(1):41\n", "line 4"},
      {head + "\"v\"=hex(2):41,01\n", "line 4"},
      {head + "\"v\"=\"x\" trailing\n", "line 4"},
      {head + "\"v\"=text\n", "line 4"},
      {head + "v=\"x\"\n", "line 4"},
      {"\xFF\xFE"
       "A",
       "odd number"},
  };
  for (const auto& c : cases) {
    std::vector<reg_edit> edits(1);
    hive_error e;
    EXPECT_EQ(parse_reg_text(c.text, edits, e), 1) << c.text;
    EXPECT_EQ(e.code, win::error_registry_corrupt);
    EXPECT_NE(e.message.find(c.where), std::string::npos) << c.text << " -> " << e.message;
    EXPECT_EQ(edits.size(), 1U) << "a failed parse leaves the edits as they were";
  }
}

// Damaged copies of a valid hive never crash the reader, and whatever it
// accepts writes out and reads back as the same tree.
TEST(HiveText, DamagedHivesNeverCrashTheReader) {
  reg_key top;
  reg_key& k = top.make({"SOFTWARE", "Velmora"}, nullptr);
  k.set_value("s", win::reg_sz, bytes(std::string("text\0", 5)));
  k.set_value("x", win::reg_expand_sz, bytes(std::string("%a%\0", 4)));
  k.set_value("d", win::reg_dword, {1, 2, 3, 4});
  k.set_value("b", win::reg_binary, std::vector<std::uint8_t>(90, 0xAB));
  const std::string good = format_reg_text(hive_root::local_machine, {}, top);
  std::mt19937 rng(1234);
  const char noise[] = "[]\"\\=,:;@-\r\n\t x0fhexdword()";
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = good;
    const int damage = 1 + static_cast<int>(rng() % 4);
    for (int d = 0; d < damage; ++d) {
      const std::size_t at = rng() % text.size();
      switch (rng() % 3) {
        case 0:
          text[at] = noise[rng() % (sizeof noise - 1)];
          break;
        case 1:
          text.erase(at, 1 + rng() % 8);
          break;
        default:
          text.resize(at);
          break;
      }
      if (text.empty()) break;
    }
    std::vector<reg_edit> edits;
    hive_error e;
    if (parse_reg_text(text, edits, e) != 0) continue;
    ++accepted;
    reg_key once;
    apply_edits(edits, hive_root::local_machine, once);
    expect_same_tree(parse_tree(format_reg_text(hive_root::local_machine, {}, once)), once);
  }
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace kvx::sim
