// The service killed (SIGKILL) at each step of an entry's life, again and
// again, while two adapters report errors and their files wrap: after every
// kill, each slot that the driver got back has its data in a whole entry
// that the header counts, or in one of the older ring that the header
// counted before the last wrap; every header counts whole entries only; no
// record has two entries. The kills land where the tests' hbalogd is told to
// kill itself (KVX_TEST_KILL_AT); kvxsim says which slots it got back, with
// the data they held, which the run makes unique to each record.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "tests/logd/faults/fault_rig.h"

namespace kvx::test {
namespace {

constexpr int max_record_count = 8;
constexpr const char* end_marker = "--- end of log ---";
constexpr const char* entry_head = "---- KVXWDD LOG #";

struct adapter_port {
  int port;
  std::uint16_t location;
};
constexpr adapter_port adapters[] = {{2, 0x0208}, {3, 0x0308}};

// Each twice: "N" counts the steps of that kind since the start, the first
// time, and from the end of the startup scan the second time (the scan's
// entries for what the last kill left counted in), so that the kills land
// among the scan's entries and among the new records' ones.
constexpr const char* kill_points[] = {
    "entry_written:1", "header_stored:1", "file_flushed:1",  "slot_released:1", "wrap_started:1",
    "busy_pause:1",    "entry_written:3", "header_stored:2", "slot_released:3", "wrap_started:1",
};

// One entry of a log file that begins with its own head.
struct found_entry {
  std::size_t at = 0;
  bool counted = false;
  std::optional<std::uint32_t> number;  ///< none for a synthetic record
  std::string tag;                      ///< the first four bytes of its detail dump; empty without one
  std::string written;                  ///< its writing-time line
};

std::string between(const std::string& file, std::size_t from, std::size_t to, const std::string& before,
                    std::size_t length) {
  const std::size_t at = file.find(before, from);
  if (at == std::string::npos || at + before.size() + length > to) return {};
  return file.substr(at + before.size(), length);
}

// The entries in [from, to) of `file`; only those whose end (four line ends)
// lies before the next one's head are taken.
std::vector<found_entry> whole_entries(const std::string& file, std::size_t from, std::size_t to, bool counted) {
  std::vector<found_entry> found;
  const std::vector<std::size_t> starts = entry_starts(file, from, to);
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : to;
    const std::size_t close = file.find("\r\n\r\n\r\n\r\n", starts[i]);
    if (close == std::string::npos || close + 8 > end) continue;
    found_entry e;
    e.at = starts[i];
    e.counted = counted;
    const std::size_t head = file.find(entry_head, starts[i]) + std::string(entry_head).size();
    if (file[head] != '-') e.number = static_cast<std::uint32_t>(std::strtoul(file.c_str() + head, nullptr, 10));
    const std::size_t detail = file.find("DETAIL DATA:\r\n", starts[i]);
    if (detail < close) e.tag = between(file, detail, close, "0x0000(00000) : ", 8);
    e.written = between(file, starts[i], close, "OPTION DATA:        ", 19);
    found.push_back(e);
  }
  return found;
}

class CrashRun : public FaultRun {
 protected:
  CrashRun() {
    adapters_ini_ = "[adapter]\nport = 2\npci_location = 0x0208\n[adapter]\nport = 3\npci_location = 0x0308\n";
  }

  // Small entries in small rings: files that wrap every few rounds.
  void configure() {
    for (auto [name, value] : {std::pair{"max_record_count", std::to_string(max_record_count)},
                               {"dump_data_size", std::string("16")},
                               {"error_log_size", std::string("16")}}) {
      const command_result r = simhost(
          {"reg", "add", "HKLM\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd", "/v", name, "/t", "REG_DWORD", "/d", value, "/f"});
      ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
  }

  /// The slots the adapter on `port` holds, bit k for slot k; -1 when kvxsim does not say.
  int occupied(int port) {
    std::istringstream lines(kvxsim({"status"}).out);
    const std::string prefix = "port " + std::to_string(port) + ":";
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(prefix, 0) != 0) continue;
      const std::size_t at = line.find("occupied slots:");
      if (at == std::string::npos) return -1;
      std::istringstream slots(line.substr(at + 15));
      int bits = 0;
      for (std::string word; slots >> word;) {
        if (word != "none") bits |= 1 << std::atoi(word.c_str());
      }
      return bits;
    }
    return -1;
  }
  bool all_released() { return occupied(2) == 0 && occupied(3) == 0; }

  /// A record on `port` whose slot data is the tag "c0", the port, and a
  /// number of the run's own; into a slot the driver does not hold.
  void inject_tagged(int port, int& held) {
    int slot = next_slot_[port];
    while ((held & (1 << slot)) != 0) slot = (slot + 1) % 16;
    next_slot_[port] = (slot + 1) % 16;
    held |= 1 << slot;
    char tag[16];
    std::snprintf(tag, sizeof tag, "c0%02x%04x", static_cast<unsigned>(port), static_cast<unsigned>(++serial_));
    const command_result r = kvxsim(
        {"inject", "--port", std::to_string(port), "--error", "5", "--slot", std::to_string(slot), "--data", tag});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    injected_[port].insert(tag);
  }

  /// The file of `a` as a kill, the stop or a rest left it: its header consistent,
  /// and every slot the driver got back since the last look in a whole entry
  /// of it, counted or of the older ring. Records seen twice are failures.
  void check_files(const adapter_port& a) {
    char location[8];
    std::snprintf(location, sizeof location, "%04x", static_cast<unsigned>(a.location));
    SCOPED_TRACE(std::string("adapter at ") + location);
    const std::string file = log_text_of(a.location);
    std::vector<found_entry> entries;
    if (!file.empty()) {
      const log_header h = read_log_header(file);
      ASSERT_TRUE(h.valid) << file.substr(0, 16);
      const auto offset = static_cast<std::size_t>(h.offset);
      ASSERT_LE(offset, file.size());
      const std::vector<std::size_t> later = entry_starts(file, offset, file.size());
      const bool on_marker = file.compare(offset, 18, end_marker) == 0;
      const bool on_uncounted_entry = !later.empty() && later.front() == offset;
      const bool wrap_cut_short = h.count >= max_record_count && file.compare(offset, 18, std::string(18, ' ')) == 0;
      EXPECT_TRUE(on_marker || on_uncounted_entry || wrap_cut_short)
          << "offset " << offset << ": " << file.substr(offset, 40);
      wraps_cut_short_ += wrap_cut_short ? 1 : 0;
      entries = whole_entries(file, 16, offset, true);
      EXPECT_EQ(entries.size(), static_cast<std::size_t>(h.count)) << "the header counts only whole entries";
      EXPECT_EQ(entry_starts(file, 16, offset).size(), static_cast<std::size_t>(h.count));
      // The older ring: whatever begins behind the marker (or the entry not yet counted).
      for (const found_entry& e : whole_entries(file, offset + 1, file.size(), false)) entries.push_back(e);
    }
    std::set<std::string> kept;
    std::set<std::uint32_t> numbers;
    for (const found_entry& e : entries) {
      if (!e.tag.empty()) kept.insert(e.tag);
      if (!e.number) continue;
      EXPECT_TRUE(numbers.insert(*e.number).second) << "record " << *e.number << " has two entries";
      const auto [known, fresh] = written_.emplace(*e.number, e.written);
      EXPECT_TRUE(fresh || known->second == e.written) << "record " << *e.number << " was written again";
    }
    std::istringstream lines(kvxsim({"released", "--port", std::to_string(a.port)}).out);
    std::size_t n = 0;
    for (std::string line; std::getline(lines, line); ++n) {
      const std::size_t at = line.find(": ");
      ASSERT_NE(at, std::string::npos) << line;
      const std::string tag = line.substr(at + 2, 8);
      if (n < released_[a.port].size()) continue;
      released_[a.port].push_back(tag);
      EXPECT_EQ(injected_[a.port].count(tag), 1u) << "slot data " << tag << " was never given";
      EXPECT_EQ(kept.count(tag), 1u) << "slot data " << tag << " went back to the driver, and is in no entry";
    }
  }

  std::map<int, int> next_slot_;
  int serial_ = 0;
  std::map<int, std::set<std::string>> injected_;
  std::map<int, std::vector<std::string>> released_;  ///< by port, as kvxsim told them
  std::map<std::uint32_t, std::string> written_;      ///< record number: its entry's writing time
  int wraps_cut_short_ = 0;
};

TEST_F(CrashRun, AKillAtAnyStepOfAnEntryLosesNoSlotThatWentBackAndWritesNoRecordTwice) {
  configure();
  std::set<std::string> fired;
  int round = 0;
  for (int pass = 0; pass < 2; ++pass) {
    for (const char* kill_at : kill_points) {
      std::string point = kill_at;
      const std::string step = point.substr(0, point.find(':'));
      if (pass == 1 && step != "wrap_started" && step != "busy_pause") {
        // One entry, each with its steps, for every slot the driver holds.
        int scanned = 0;
        for (const adapter_port& a : adapters) scanned += std::popcount(static_cast<unsigned>(occupied(a.port)));
        point = step + ":" + std::to_string(std::atoi(point.c_str() + step.size() + 1) + scanned);
      }
      SCOPED_TRACE("round " + std::to_string(round++) + ", killed at " + point);
      start_service(false, 1500, point);
      // The startup scan logs what the last kill left with the driver.
      ASSERT_TRUE(eventually([&] { return !service_running() || all_released(); }, std::chrono::seconds(30)))
          << service_output();
      if (service_running()) {
        // At rest with nothing held: the files as the scan left them.
        for (const adapter_port& a : adapters) check_files(a);
        int held[] = {occupied(2), occupied(3)};
        int records[] = {2, 2};
        if (step == "wrap_started") {
          // Enough records for the fuller file to wrap.
          const log_header h = read_log_header(log_text_of(0x0208));
          records[0] = std::max(1, max_record_count - (h.valid ? h.count : 0) + 1);
        }
        if (step == "busy_pause") {
          ASSERT_EQ(kvxsim({"busy", "--port", "2", "--count", "1"}).status, 0);
        }
        for (int i = 0; i < std::max(records[0], records[1]); ++i) {
          for (std::size_t k = 0; k < 2; ++k) {
            if (i < records[k]) inject_tagged(adapters[k].port, held[k]);
          }
        }
        // Killed at its step, or done with every record without reaching it.
        ASSERT_TRUE(eventually([&] { return !service_running() || all_released(); }, std::chrono::seconds(30)))
            << service_output();
      }
      if (!service_running()) fired.insert(kill_at);
      kill_service();
      for (const adapter_port& a : adapters) check_files(a);
    }
  }
  // The last start takes up what the last kill left; then the account.
  start_service(false, 1500);
  ASSERT_TRUE(eventually([&] { return all_released(); }, std::chrono::seconds(30))) << service_output();
  kill_service();
  for (const adapter_port& a : adapters) {
    check_files(a);
    // Every slot given went back exactly once.
    std::multiset<std::string> back(released_[a.port].begin(), released_[a.port].end());
    EXPECT_EQ(std::set<std::string>(back.begin(), back.end()), injected_[a.port]);
    EXPECT_EQ(back.size(), injected_[a.port].size());
  }
  for (const char* kill_at : kill_points) EXPECT_EQ(fired.count(kill_at), 1u) << kill_at << " was never reached";
  EXPECT_GE(wraps_cut_short_, 1) << "no kill landed in the middle of a wrap";
}

}  // namespace
}  // namespace kvx::test
