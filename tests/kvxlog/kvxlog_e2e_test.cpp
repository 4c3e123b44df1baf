// kvxlog as a program: on the golden files in the folder hbalogd's
// configuration names, with its switches and exit codes, and on the files
// that hbalogd itself writes, wrapped several times and read while it writes.
// Its JSON is parsed by Python's own parser (json_fields.py).
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "tests/logd/e2e/e2e_rig.h"
#include "tests/support/process.h"

namespace kvx::test {
namespace {

const std::filesystem::path script = std::filesystem::path(KVX_TEST_DATA_DIR) / ".." / "kvxlog" / "json_fields.py";

/// Each JSON object as "key=value ..." by Python's parser; fails the test when it does not parse.
std::vector<std::string> parsed(const std::string& json, const char* mode = "lines") {
  run_options o;
  o.input = json;
  const command_result r = run_command({"/usr/bin/python3", script.string(), mode}, o);
  EXPECT_EQ(r.status, 0) << r.err << json.substr(0, 2000);
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

/// The value of `key` in a line of parsed().
std::string field(const std::string& line, const std::string& key) {
  const std::string k = " " + key + "=";
  const std::size_t at = (" " + line).find(k);
  if (at == std::string::npos) return "<no " + key + ">";
  const std::size_t from = at + k.size() - 1;
  return line.substr(from, line.find(' ', from) - from);
}

std::filesystem::path default_log_folder(const temp_host& host) {
  return host.root() / "drive_c" / "Program Files" / "velmora" / "drivers" / "hba" / "hbalogd" / "log";
}

std::string golden_file(const std::string& name) {
  std::string text = read_file(std::filesystem::path(KVX_TEST_DATA_DIR) / "standin" / name);
  text = std::regex_replace(text, std::regex("<written>"), "20261207 140230 517");
  char header[32];
  std::snprintf(header, sizeof header, "%4d %9d\r\n", std::stoi(text.substr(0, 4)),
                static_cast<int>(text.find("--- end of log ---")));
  return header + text.substr(16);
}

void put(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

class KvxlogProgram : public ::testing::Test {
 protected:
  temp_host host_;
  command_result kvxlog(const std::vector<std::string>& args) { return run_built("kvxlog/kvxlog", args); }
};

TEST_F(KvxlogProgram, ReadsTheFolderThatTheConfigurationNamesWithItsSwitchesAndExitCodes) {
  // Nothing there yet: no file.
  command_result r = kvxlog({});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("kvxlog: no "), std::string::npos) << r.err;

  for (const char* name : {"kvx0208.log", "kvx0510.log", "kvx0618.log", "kvx0720.log"}) {
    put(default_log_folder(host_) / name, golden_file(name));
  }
  put(default_log_folder(host_) / "notes.txt", "not a log file");
  r = kvxlog({"-JSON"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> lines = parsed(r.out);
  ASSERT_EQ(lines.size(), 67u);
  EXPECT_EQ(field(lines[0], "location"), "0208");
  EXPECT_EQ(field(lines[0], "record"), "null");
  EXPECT_EQ(field(lines[0], "written"), "2026-12-07T14:02:30");
  EXPECT_EQ(field(lines[0], "adapter_wwn"), "2000000000000201");
  EXPECT_EQ(field(lines[0], "detail_data"),
            "0405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f303132333435363"
            "738393a3b3c3d3e3f40414243");
  EXPECT_EQ(field(lines[0], "refused_slot"), "null");
  EXPECT_EQ(field(lines[2], "location"), "0618");
  EXPECT_EQ(field(lines[2], "refused_slot"), "1");
  EXPECT_EQ(field(lines[66], "driver_version"), "2.2.0");

  // The configured folder wins over the default; -folder over both.
  const std::filesystem::path other = host_.root() / "drive_c" / "logs";
  put(other / "kvx0301.log", golden_file("kvx0208.log"));
  ASSERT_EQ(run_built("simhost/simhost", {"reg", "add", "HKLM\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd", "/v",
                                          "error_log_file_path", "/t", "REG_SZ", "/d", "C:\\logs", "/f"})
                .status,
            0);
  r = kvxlog({"/summary"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2026-12-07 14:02:30 0208 ------ UNKNOWN UNKNOWN detail\n");
  r = kvxlog({"-Summary", "-folder", (default_log_folder(host_)).string(), "-location", "720"});
  EXPECT_EQ(r.out, "2026-12-07 14:02:30 0720 ------ UNKNOWN UNKNOWN detail\n");

  // The default form is the entry's text with this platform's line ends.
  r = kvxlog({(other / "kvx0301.log").string()});
  std::string text = golden_file("kvx0208.log").substr(16);
  text = std::regex_replace(text.substr(0, text.find("--- end of log ---")), std::regex("\r\n"), "\n");
  EXPECT_EQ(r.out, text);

  // Usage, a bad switch, a file that is not there, one that cannot be read,
  // one that is damaged (said, the rest still shown).
  r = kvxlog({"/?"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Exit codes: 0 done"), std::string::npos);
  r = kvxlog({"-bogus"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kvxlog: unknown switch -bogus (kvxlog -? shows the usage)\n");
  EXPECT_EQ(r.out, "");
  r = kvxlog({(other / "kvx0999.log").string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "kvxlog: no such file " + (other / "kvx0999.log").string() + "\n");
  std::filesystem::create_directories(other / "kvx0998.log");
  r = kvxlog({(other / "kvx0998.log").string(), (other / "kvx0301.log").string(), "-summary"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "kvxlog: cannot read " + (other / "kvx0998.log").string() + "\n");
  EXPECT_EQ(r.out, "2026-12-07 14:02:30 0208 ------ UNKNOWN UNKNOWN detail\n");
  std::string damaged = golden_file("kvx0618.log");
  damaged.replace(0, 4, "  70");
  put(other / "kvx0618.log", damaged);
  r = kvxlog({(other / "kvx0618.log").string(), "-summary", "-last", "1"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "kvxlog: " + (other / "kvx0618.log").string() +
                       ": the header counts 70 entries since the last wrap, the file holds 64\n");
  EXPECT_EQ(r.out, "2026-12-07 14:02:30 0618 ------ UNKNOWN UNKNOWN refused:01\n");
}

TEST_F(KvxlogProgram, TextsThatAreNoUtf8StillGiveValidJson) {
  std::string file = golden_file("kvx0208.log");
  file.replace(file.find("ERROR NAME:         UNKNOWN"), 27, std::string("ERROR NAME:         \"A\\\xe9\x01"));
  const std::size_t marker = file.find("--- end of log ---");
  char header[32];
  std::snprintf(header, sizeof header, "%4d %9d\r\n", 1, static_cast<int>(marker));
  file.replace(0, 16, header);
  put(host_.root() / "kvx0208.log", file);
  const command_result r = kvxlog({(host_.root() / "kvx0208.log").string(), "-json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = parsed(r.out);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(field(lines[0], "error_name"), "\"A\\\xc3\xa9\x01");
}

// The Wine check tests/wine/checks/kvxlog.sh reads tests/data/kvxlog (the
// golden files with a time of writing, and a file that hbalogd wrapped) with
// kvxlog.exe from C:\kvxdata and expects this host's output, kept there.
TEST_F(KvxlogProgram, OutputThatTheWineCheckExpects) {
  const std::filesystem::path data = std::filesystem::path(KVX_TEST_DATA_DIR) / "kvxlog";
  const std::filesystem::path folder = host_.root() / "drive_c" / "kvxdata";
  std::filesystem::create_directories(folder);
  for (const auto& e : std::filesystem::directory_iterator(data)) {
    if (e.path().extension() == ".log") std::filesystem::copy_file(e.path(), folder / e.path().filename());
  }
  for (auto [form, golden] :
       {std::pair{"", "kvxlog.txt"}, {"-summary", "kvxlog-summary.txt"}, {"-json", "kvxlog.jsonl"}}) {
    std::vector<std::string> args{"-folder", "C:\\kvxdata"};
    if (*form != '\0') args.push_back(form);
    const command_result r = kvxlog(args);
    EXPECT_EQ(r.status, 0) << form;
    EXPECT_EQ(r.err, "") << form;
    EXPECT_EQ(r.out, read_file(data / golden)) << form;
  }
  EXPECT_EQ(parsed(read_file(data / "kvxlog.jsonl")).size(), 70u);
}

// hbalogd on the simulated host, wrapping every three entries, entries of
// three lengths: with 1024 bytes of detail data, without (class 2), and with
// a refused release (the adapter at 0618 takes no slot back: a FELM line).
class KvxlogEndToEnd : public CaptureEndToEnd {
 protected:
  void SetUp() override {
    start_simulator(
        "[adapter]\nport = 2\npci_location = 0x0208\n"
        "[adapter]\nport = 6\npci_location = 0x0618\nfail = slot_release\n");
    ASSERT_EQ(run_built("simhost/simhost", {"reg", "add", "HKLM\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd", "/v",
                                            "max_record_count", "/t", "REG_DWORD", "/d", "3", "/f"})
                  .status,
              0);
    start_service(600000);
  }

  struct written {
    int record;
    std::size_t offset;
    std::string text;
    int error;
    int slot;
    bool refused;
    bool class2;
  };

  /// Injects one record and waits for its entry and the header that counts
  /// it; remembers where it went and what it says.
  void write_one(int port, int error, int slot, bool class2) {
    const std::uint16_t location = port == 2 ? 0x0208 : 0x0618;
    const std::string before = log_of(location);
    std::vector<std::string> args{"--port", std::to_string(port), "--error", std::to_string(error),
                                  "--slot", std::to_string(slot)};
    if (class2) args.insert(args.end(), {"--status", "0xC0000000"});
    const int record = inject(args);
    ASSERT_GT(record, 0);
    const std::string head = "---- KVXWDD LOG #" + std::to_string(record) + " ----";
    std::string file;
    ASSERT_TRUE(eventually([&] {
      file = log_of(location);
      if (file.size() < 16 || file.find(head) == std::string::npos) return false;
      const std::size_t marker = static_cast<std::size_t>(std::stoul(file.substr(5, 9)));
      const std::size_t at = file.rfind(head, marker);
      // A refused release rewrites the entry's tail with its FELM line after
      // the first header store: the entry is complete only then.
      const bool refused = port == 6 && !class2;
      return file.compare(marker, 18, "--- end of log ---") == 0 && at != std::string::npos &&
             (!refused || file.find("FELM", at) < marker) &&
             file.substr(0, 16) != before.substr(0, std::min<std::size_t>(16, before.size()));
    })) << service_output();
    const std::size_t marker = static_cast<std::size_t>(std::stoul(file.substr(5, 9)));
    const int count = std::stoi(file.substr(0, 4));
    const std::size_t start = count == 1 ? 16 : static_cast<std::size_t>(std::stoul(before.substr(5, 9)));
    (port == 2 ? in_0208_ : in_0618_)
        .push_back({record, start, file.substr(start, marker - start), error, slot, port == 6 && !class2, class2});
  }

  /// The entries written whose text the file still holds, in the order of writing.
  static std::vector<written> held(const std::vector<written>& all, const std::string& file) {
    std::vector<written> out;
    for (const written& w : all) {
      if (file.compare(w.offset, w.text.size(), w.text) == 0) out.push_back(w);
    }
    return out;
  }

  void expect_read_back(const std::vector<written>& all, std::uint16_t location) {
    const std::string file = log_of(location);
    char name[16];
    std::snprintf(name, sizeof name, "kvx%04x.log", location);
    const std::string path =
        (host_.root() / "drive_c" / "Program Files" / "velmora" / "drivers" / "hba" / "hbalogd" / "log" / name)
            .string();
    const command_result r = run_built("kvxlog/kvxlog", {"-json", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> whole;
    for (const std::string& line : parsed(r.out)) {
      if (field(line, "whole") == "true") whole.push_back(line);
    }
    const std::vector<written> expected = held(all, file);
    ASSERT_GE(expected.size(), 2u) << "the ring holds at least its current lap";
    ASSERT_EQ(whole.size(), expected.size()) << r.out;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const written& w = expected[i];
      const std::string& line = whole[i];
      EXPECT_EQ(field(line, "record"), std::to_string(w.record)) << line;
      EXPECT_EQ(field(line, "offset"), std::to_string(w.offset));
      EXPECT_EQ(field(line, "length"), std::to_string(w.text.size()));
      EXPECT_EQ(field(line, "location"), std::string(name).substr(3, 4));
      EXPECT_EQ(field(line, "bus"), std::to_string(location >> 8));
      EXPECT_EQ(field(line, "device"), std::to_string((location >> 3) & 0x1F));
      EXPECT_EQ(field(line, "function"), std::to_string(location & 7));
      std::smatch m;
      ASSERT_TRUE(std::regex_search(w.text, m,
                                    std::regex("OPTION DATA:        (\\d{4})(\\d\\d)(\\d\\d) "
                                               "(\\d\\d)(\\d\\d)(\\d\\d) ")));
      EXPECT_EQ(field(line, "written"), m[1].str() + "-" + m[2].str() + "-" + m[3].str() + "T" + m[4].str() + ":" +
                                            m[5].str() + ":" + m[6].str());
      ASSERT_TRUE(std::regex_search(w.text, m, std::regex("ERROR NAME:         (\\S+)\r\nLEVEL:              (\\S+)")));
      EXPECT_EQ(field(line, "error_name"), m[1].str());
      EXPECT_EQ(field(line, "level"), m[2].str());
      EXPECT_EQ(field(line, "driver_version"), "2.1.4");
      std::string detail;
      char two[3];
      for (int i2 = 0; i2 < 1024; ++i2) {
        std::snprintf(two, sizeof two, "%02x", (w.error + w.slot + i2) & 0xFF);
        detail += two;
      }
      EXPECT_EQ(field(line, "detail_data"), w.class2 ? "null" : detail);
      EXPECT_EQ(field(line, "refused_slot"), w.refused ? std::to_string(w.slot) : "null");
      EXPECT_EQ(field(line, "detail_last_error"), "null");
      EXPECT_EQ(field(line, "event_log_dump").size(), 2u * 104u);
    }
  }

  std::vector<written> in_0208_;
  std::vector<written> in_0618_;
};

TEST_F(KvxlogEndToEnd, FilesWrappedSeveralTimesGiveEveryEntryTheRingHoldsOnceInOrder) {
  // Long, short and long again, so that laps of different lengths leave
  // their leftovers behind the marker.
  const bool class2[] = {false, false, false, true, true, true, false, true, false, true, true, false, true, true};
  for (int i = 0; i < 14; ++i) write_one(2, 1 + i % 8, i % 16, class2[i]);
  for (int i = 0; i < 8; ++i) write_one(6, 5, i, i % 3 == 2);
  expect_read_back(in_0208_, 0x0208);
  expect_read_back(in_0618_, 0x0618);
  EXPECT_EQ(application_log().find("Unable to open file"), std::string::npos) << application_log();
  EXPECT_EQ(application_log().find("Unable to write file"), std::string::npos);
}

TEST_F(KvxlogEndToEnd, FollowSeesEachEntryWrittenWhileItRunsAcrossWrapsAndNewFiles) {
  write_one(2, 1, 1, false);
  const std::filesystem::path out = host_.root() / "follow.out";
  background_process follower({built_program("kvxlog/kvxlog").string(), "-follow", "-json", "-folder",
                               "C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log"},
                              out, {}, host_.root() / "follow.err");
  ASSERT_TRUE(follower.started());
  auto records = [&] {
    std::vector<std::string> seen;
    for (const std::string& line : parsed(read_file(out))) seen.push_back(field(line, "record"));
    return seen;
  };
  ASSERT_TRUE(eventually([&] { return records().size() == 1; })) << read_file(out);
  // Seven more entries, each seen before the next is written (an entry that
  // a small ring overwrites within one poll is not seen): the file wraps
  // twice while kvxlog follows it, and the second adapter's file comes into being.
  std::vector<std::string> expected{std::to_string(in_0208_.front().record)};
  auto next = [&](int port, int error, int slot, bool class2) {
    write_one(port, error, slot, class2);
    expected.push_back(std::to_string((port == 2 ? in_0208_ : in_0618_).back().record));
    ASSERT_TRUE(eventually([&] { return records().size() >= expected.size(); })) << read_file(out);
  };
  for (int i = 2; i <= 5; ++i) next(2, i, i, i % 2 == 0);
  next(6, 3, 4, false);
  next(2, 6, 6, false);
  next(2, 7, 7, true);
  // Each once, in order; nothing shown that was not written.
  EXPECT_EQ(records(), expected);
  EXPECT_TRUE(follower.running());
  EXPECT_EQ(read_file(host_.root() / "follow.err"), "");
  EXPECT_EQ(application_log().find("Unable to open file"), std::string::npos) << application_log();
  EXPECT_EQ(application_log().find("Unable to write file"), std::string::npos);
}

}  // namespace
}  // namespace kvx::test
