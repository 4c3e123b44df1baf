// hbalogd and kvxsim as processes: driver records of every class become the
// entries they should, the sweeps bring out slots that no record names, and an
// unplugged adapter is dropped and found again.
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/logd/e2e/e2e_rig.h"
#include "tests/support/process.h"

namespace kvx::test {
namespace {

const char* two_adapters =
    "[adapter]\nport = 2\npci_location = 0x0208\n"
    "[adapter]\nport = 5\npci_location = 0x0510\nwwpn = 0x20000000c9a1b2c3\n";

// The text of the entry of record `number`: from its header up to the next
// entry or the end marker.
std::string entry_of(const std::string& file, int number) {
  const std::string head = "---- KVXWDD LOG #" + std::to_string(number) + " ----";
  const std::size_t at = file.find(head);
  if (at == std::string::npos) return {};
  std::size_t end = file.find("---- KVXWDD LOG #", at + 1);
  const std::size_t marker = file.find("--- end of log ---", at);
  if (end == std::string::npos || (marker != std::string::npos && marker < end)) end = marker;
  // Block 1 of a following entry without detail data belongs to that entry.
  const std::size_t block1 = file.find("DETAIL DATA WAS UNGETTABLE.", at);
  if (block1 != std::string::npos && block1 < end) end = block1;
  return file.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string slots_of(const std::string& status, int port) {
  const std::string prefix = "port " + std::to_string(port) + ":";
  const std::size_t at = status.find(prefix);
  if (at == std::string::npos) return {};
  const std::size_t slots = status.find("occupied slots: ", at);
  const std::size_t end = status.find('\n', slots);
  return status.substr(slots + 16, end - slots - 16);
}

// The Wine check tests/wine/checks/capture.sh runs hbalogd.exe against the
// stand-in driver with tests/data/standin/capture.ini and expects the log files
// that this host writes for the same scenario, kept there, byte for byte but
// for the time of writing.
std::filesystem::path standin_data(const std::string& name) {
  return std::filesystem::path(KVX_TEST_DATA_DIR) / "standin" / name;
}

std::string without_write_times(const std::string& file) {
  static const std::regex written("OPTION DATA:        [0-9]{8} [0-9]{6} [0-9]{3}\r\n");
  return std::regex_replace(file, written, "OPTION DATA:        <written>\r\n");
}

// The scenario's configuration: a busy answer is tried again a second later;
// a dump shows the first 64 bytes of its slot.
void configure_scenario() {
  for (auto [name, value] : {std::pair{"max_retry_count", "10"}, {"retry_frequency", "1"}, {"error_log_size", "64"}}) {
    const command_result r = run_built("simhost/simhost", {"reg", "add", "HKLM\\SOFTWARE\\Velmora\\kvxwdd\\hbalogd",
                                                           "/v", name, "/t", "REG_DWORD", "/d", value, "/f"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
}

TEST_F(CaptureEndToEnd, RecordsOfEveryClassAndTheSweepsGiveTheEntriesTheyShould) {
  start_simulator(two_adapters);
  // Detail data held before the service starts: the startup scan logs it.
  kvxsim({"fill", "--port", "5", "--slot", "4"});
  // A cycle far longer than the test: the retry thread stays out of it.
  start_service(600000);
  ASSERT_TRUE(wait_for_log(0x0510, "---- KVXWDD LOG #------ ----")) << service_output();
  {
    const std::string file = log_of(0x0510);
    EXPECT_EQ(occurrences(file, "---- KVXWDD LOG #------ ----"), 1);
    EXPECT_NE(file.find("ADAPTER WWN:        20000000c9a1b2c3\r\n"), std::string::npos);
    EXPECT_NE(file.find("DETAIL DATA:\r\n---          HEX DUMP (ERRLOG:SIZE=0x0400)"), std::string::npos);
    // fill's default data: byte i = slot + i.
    EXPECT_NE(file.find("0x0000(00000) : 04050607 08090a0b 0c0d0e0f 10111213\r\n"), std::string::npos);
  }

  // Class 0 with its slot: dumped and handed back.
  const int logged = inject({"--port", "2", "--error", "1", "--slot", "3"});
  ASSERT_GT(logged, 0);
  ASSERT_TRUE(wait_for_log(0x0208, "---- KVXWDD LOG #" + std::to_string(logged) + " ----"));
  ASSERT_TRUE(wait_for_log(0x0208, "--- end of log ---"));
  {
    const std::string entry = entry_of(log_of(0x0208), logged);
    EXPECT_NE(entry.find("ERROR NAME:         LINK_DOWN\r\nLEVEL:              ERROR\r\n\r\n"), std::string::npos)
        << entry;
    EXPECT_NE(entry.find("BUS NUMBER:         2\r\nDEVICE NUMBER:      1\r\nFUNCTION NUMBER:    0\r\n"),
              std::string::npos);
    EXPECT_NE(entry.find("DRIVER VERSION:     2.1.4\r\nFIRMWARE VERSION:   10.02\r\n"), std::string::npos);
    // inject's default data: byte i = error + slot + i.
    EXPECT_NE(entry.find("DETAIL DATA:\r\n"), std::string::npos);
    EXPECT_NE(entry.find("0x0000(00000) : 04050607 08090a0b"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("FELM"), std::string::npos);
  }
  // The slot goes back once the entry and its header are on disk.
  EXPECT_TRUE(eventually([&] { return slots_of(kvxsim({"status"}), 2) == "none"; }, std::chrono::seconds(30)));

  // Class 1: never an entry.
  const int ignored = inject({"--port", "5", "--error", "3", "--slot", "1", "--status", "0x80000000"});
  // Class 2: an entry without detail data; the slot stays occupied.
  const int ungettable = inject({"--port", "2", "--error", "2", "--slot", "6", "--status", "0xC0000000"});
  // A record whose slot holds nothing.
  const int empty_slot = inject({"--port", "5", "--error", "4", "--slot", "2", "--no-fill"});
  ASSERT_TRUE(wait_for_log(0x0208, "---- KVXWDD LOG #" + std::to_string(ungettable) + " ----"));
  ASSERT_TRUE(wait_for_log(0x0510, "---- KVXWDD LOG #" + std::to_string(empty_slot) + " ----"));
  {
    const std::string entry = entry_of(log_of(0x0208), ungettable);
    EXPECT_NE(entry.find("ERROR NAME:         LOOP_INIT_FAILURE\r\n"), std::string::npos);
    EXPECT_NE(entry.find("DETAIL DATA: UNGETTABLE\r\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("DETAIL DATA:\r\n"), std::string::npos);
    const std::string other = entry_of(log_of(0x0510), empty_slot);
    EXPECT_NE(other.find("ERROR NAME:         PCI_PARITY_ERROR\r\nLEVEL:              FATAL\r\n"), std::string::npos);
    EXPECT_NE(other.find("DETAIL DATA: UNGETTABLE\r\n"), std::string::npos) << other;
  }
  EXPECT_EQ(log_of(0x0510).find("LOG #" + std::to_string(ignored) + " "), std::string::npos);

  // The busy port is retried (one second apart) and the entry still has its detail data.
  kvxsim({"busy", "--port", "2", "--count", "2"});
  const int after_busy = inject({"--port", "2", "--error", "5", "--slot", "7"});
  ASSERT_TRUE(wait_for_log(0x0208, "---- KVXWDD LOG #" + std::to_string(after_busy) + " ----"));
  ASSERT_TRUE(
      eventually([&] { return entry_of(log_of(0x0208), after_busy).find("0x0000(00000)") != std::string::npos; },
                 std::chrono::seconds(10)));
  EXPECT_NE(
      entry_of(log_of(0x0208), after_busy).find("ERROR NAME:         FRAME_TIMEOUT\r\nLEVEL:              WARNING"),
      std::string::npos);

  // The headers count what the files hold, and nothing went wrong on the way.
  EXPECT_EQ(log_of(0x0208).substr(0, 4), "   3");
  EXPECT_EQ(log_of(0x0510).substr(0, 4), "   2");
  // The class 2 slot and the class 1 record's slot are still occupied.
  EXPECT_EQ(slots_of(kvxsim({"status"}), 2), "6");
  EXPECT_EQ(slots_of(kvxsim({"status"}), 5), "1");
  const std::string app = application_log();
  EXPECT_EQ(app.find("Unable to open file"), std::string::npos) << app;
  EXPECT_TRUE(service_->running()) << service_output();
}

TEST_F(CaptureEndToEnd, SlotsThatNoRecordBringsOutAreLoggedByTheRetryThreadAfterTwoCycles) {
  start_simulator(two_adapters);
  start_service(1000);
  // Slot 6 of a class 2 record stays occupied; slot 9 is filled with no record.
  const int ungettable = inject({"--port", "2", "--error", "2", "--slot", "6", "--status", "0xC0000000"});
  ASSERT_TRUE(wait_for_log(0x0208, "---- KVXWDD LOG #" + std::to_string(ungettable) + " ----"));
  kvxsim({"fill", "--port", "5", "--slot", "9"});
  const auto filled = std::chrono::steady_clock::now();
  ASSERT_TRUE(eventually([&] { return slots_of(kvxsim({"status"}), 5) == "none"; }, std::chrono::seconds(30)));
  EXPECT_GE(std::chrono::steady_clock::now() - filled, std::chrono::milliseconds(900)) << "not before a whole cycle";
  ASSERT_TRUE(eventually([&] { return slots_of(kvxsim({"status"}), 2) == "none"; }, std::chrono::seconds(30)));
  ASSERT_TRUE(wait_for_log(0x0208, "---- KVXWDD LOG #------ ----"));
  ASSERT_TRUE(wait_for_log(0x0510, "---- KVXWDD LOG #------ ----"));
  EXPECT_EQ(occurrences(log_of(0x0510), "---- KVXWDD LOG #------ ----"), 1);
  EXPECT_NE(log_of(0x0510).find("0x0000(00000) : 090a0b0c 0d0e0f10"), std::string::npos);
  EXPECT_EQ(occurrences(log_of(0x0208), "---- KVXWDD LOG #------ ----"), 1);
  EXPECT_NE(log_of(0x0208).find("0x0000(00000) : 08090a0b 0c0d0e0f"), std::string::npos) << log_of(0x0208);
  EXPECT_EQ(log_of(0x0208).substr(0, 4), "   2");
  EXPECT_EQ(application_log().find("Unable to open file"), std::string::npos);
}

TEST_F(CaptureEndToEnd, AnUnpluggedAdapterIsDroppedAndFoundAgainOncePluggedIn) {
  start_simulator(two_adapters);
  start_service(60000);
  const int first = inject({"--port", "2", "--error", "1", "--slot", "0"});
  ASSERT_TRUE(wait_for_log(0x0208, "---- KVXWDD LOG #" + std::to_string(first) + " ----"));

  kvxsim({"unplug", "--port", "2"});
  const int while_gone = inject({"--port", "2", "--error", "6", "--slot", "1"});
  ASSERT_GT(while_gone, 0);
  // The other adapter goes on meanwhile.
  const int other = inject({"--port", "5", "--error", "7", "--slot", "2"});
  ASSERT_TRUE(wait_for_log(0x0510, "---- KVXWDD LOG #" + std::to_string(other) + " ----"));

  kvxsim({"plug", "--port", "2"});
  const int again = inject({"--port", "2", "--error", "8", "--slot", "5"});
  ASSERT_TRUE(wait_for_log(0x0208, "---- KVXWDD LOG #" + std::to_string(again) + " ----")) << log_of(0x0208);
  const std::string entry = entry_of(log_of(0x0208), again);
  EXPECT_NE(entry.find("ERROR NAME:         BUFFER_OVERRUN\r\n"), std::string::npos);
  EXPECT_NE(entry.find("DETAIL DATA:\r\n"), std::string::npos) << entry;
  // The record that came while the device was gone is not lost silently: it
  // is an entry without what the device could give, or it is reported.
  const std::string gone_entry = entry_of(log_of(0x0208), while_gone);
  const std::string reported = "The eventlog record " + std::to_string(while_gone) +
                               " of the adapter at location 0208 is not logged: no adapter is found at that location.";
  const bool said = application_log().find(reported) != std::string::npos;
  EXPECT_NE(!gone_entry.empty(), said) << gone_entry;
  if (!gone_entry.empty()) {
    EXPECT_NE(gone_entry.find("DRIVER VERSION:     UNGETTABLE\r\n"), std::string::npos);
  }
  EXPECT_TRUE(service_->running()) << service_output();
}

TEST_F(CaptureEndToEnd, TheWineChecksStartupScanWritesTheGoldenLogFiles) {
  start_simulator(read_file(standin_data("capture.ini")));
  configure_scenario();
  kvxsim({"fill", "--port", "2", "--slot", "4"});
  kvxsim({"busy", "--port", "2", "--count", "1"});
  kvxsim({"fill", "--port", "6", "--slot", "1"});
  kvxsim({"fill", "--port", "7", "--slot", "0"});
  start_service(600000);
  ASSERT_TRUE(eventually(
      [&] {
        const std::string status = kvxsim({"status"});
        return slots_of(status, 2) == "none" && slots_of(status, 7) == "none" &&
               application_log().find("scsi6 is still occupied after 64 entries.") != std::string::npos;
      },
      std::chrono::seconds(60)))
      << service_output();
  for (const char* name : {"kvx0208.log", "kvx0618.log", "kvx0720.log"}) {
    const std::uint16_t location = static_cast<std::uint16_t>(std::stoul(std::string(name).substr(3, 4), nullptr, 16));
    EXPECT_EQ(without_write_times(log_of(location)), read_file(standin_data(name))) << name;
  }
  EXPECT_EQ(slots_of(kvxsim({"status"}), 6), "1") << "the slot the driver would not take back";
}

TEST_F(CaptureEndToEnd, TheWineChecksRetryDrainWritesTheGoldenLogFile) {
  start_simulator(read_file(standin_data("capture.ini")));
  configure_scenario();
  start_service(1000);
  kvxsim({"fill", "--port", "5", "--slot", "9"});
  ASSERT_TRUE(eventually([&] { return slots_of(kvxsim({"status"}), 5) == "none"; }, std::chrono::seconds(30)));
  EXPECT_EQ(without_write_times(log_of(0x0510)), read_file(standin_data("kvx0510.log")));
}

}  // namespace
}  // namespace kvx::test
