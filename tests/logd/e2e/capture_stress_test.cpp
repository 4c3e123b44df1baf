// Many adapters, bursts larger than a queue holds, kvxls run over and over by
// an administrator against the same ports, devices unplugged and plugged
// back, and the retry thread draining slots, all at once. At the end an exact
// account: every injected record is an entry exactly once or is reported in
// the Application log, every slot is released, no slot release failed, and
// hbalogd (built with TSan in that build) reports no data race.
#include <atomic>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "tests/logd/e2e/e2e_rig.h"

namespace kvx::test {
namespace {

constexpr int adapters = 8;
constexpr int rounds = 3;
constexpr int burst = 20;  // records per adapter per round: more than a queue's 16

std::uint16_t location_of(int port) { return static_cast<std::uint16_t>(0x0100 + port * 8); }

// Record number -> how often its entry is in the file.
std::map<int, int> numbered_entries(const std::string& file) {
  std::map<int, int> seen;
  const std::regex head("---- KVXWDD LOG #(\\d+) ----\r\n");
  for (auto it = std::sregex_iterator(file.begin(), file.end(), head); it != std::sregex_iterator(); ++it) {
    ++seen[std::stoi((*it)[1])];
  }
  return seen;
}

// Record number -> how often the Application log says it is not logged, for
// one adapter location.
std::map<int, int> reported_records(const std::string& app, std::uint16_t location) {
  std::map<int, int> seen;
  char pattern[96];
  std::snprintf(pattern, sizeof pattern, "The eventlog record (\\d+) of the adapter at location %04x is not logged",
                static_cast<unsigned>(location));
  const std::regex line(pattern);
  for (auto it = std::sregex_iterator(app.begin(), app.end(), line); it != std::sregex_iterator(); ++it) {
    ++seen[std::stoi((*it)[1])];
  }
  return seen;
}

/// kvxls run again and again, as an administrator might, until the object goes.
class kvxls_loop {
 public:
  kvxls_loop()
      : thread_([this] {
          while (!done_) {
            (void)run_built("listtool/kvxls", {});
            ++runs_;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        }) {}
  ~kvxls_loop() {
    done_ = true;
    thread_.join();
  }
  int runs() const { return runs_; }

 private:
  std::atomic<bool> done_{false};
  std::atomic<int> runs_{0};
  std::thread thread_;
};

class CaptureStress : public CaptureEndToEnd {
 protected:
  std::string config() {
    std::string text;
    for (int port = 0; port < adapters; ++port) {
      char section[96];
      std::snprintf(section, sizeof section, "[adapter]\nport = %d\npci_location = 0x%04x\n", port, location_of(port));
      text += section;
    }
    return text;
  }
  /// Every record has come to its end: an entry, or a report.
  bool all_accounted(const std::map<int, std::vector<int>>& expected) {
    const std::string app = application_log();
    for (const auto& [port, numbers] : expected) {
      const auto seen = numbered_entries(log_of(location_of(port)));
      const auto reported = reported_records(app, location_of(port));
      for (const int n : numbers) {
        if (seen.count(n) == 0 && reported.count(n) == 0) return false;
      }
    }
    return true;
  }
};

TEST_F(CaptureStress, BurstsUnplugsKvxlsAndRetryDrainsAccountForEveryRecord) {
  start_simulator(config());
  start_service(1000);
  std::map<int, std::vector<int>> expected;
  {
    const kvxls_loop administrator;
    for (int round = 0; round < rounds; ++round) {
      const int gone = (round * 3) % adapters;  // one adapter is unplugged during each round
      kvxsim({"unplug", "--port", std::to_string(gone)});
      expected[gone].push_back(inject({"--port", std::to_string(gone), "--error", "1", "--slot", "15"}));
      for (int n = 0; n < burst; ++n) {
        for (int port = 0; port < adapters; ++port) {
          if (port == gone) continue;
          const int number = inject(
              {"--port", std::to_string(port), "--error", std::to_string(1 + n % 8), "--slot", std::to_string(n % 15)});
          ASSERT_GT(number, 0);
          expected[port].push_back(number);
        }
      }
      ASSERT_TRUE(eventually([&] { return all_accounted(expected); }, std::chrono::seconds(180))) << service_output();
      kvxsim({"plug", "--port", std::to_string(gone)});
      // A record for the adapter brings it back into the table.
      expected[gone].push_back(inject({"--port", std::to_string(gone), "--error", "2", "--slot", "14"}));
    }
    ASSERT_TRUE(eventually([&] { return all_accounted(expected); }, std::chrono::seconds(120))) << service_output();
    EXPECT_GT(administrator.runs(), 0);
  }
  // Slots that no written entry handed back (a record reported while its
  // device was gone) are drained by the retry thread.
  ASSERT_TRUE(eventually([&] { return occurrences(kvxsim({"status"}), "occupied slots: none") == adapters; },
                         std::chrono::seconds(60)))
      << kvxsim({"status"});
  EXPECT_TRUE(service_->running());
  service_->stop();
  const std::string first_run = service_output();

  // Second run: slots occupied without records, on every adapter; the startup
  // scan takes what is there, the retry thread what comes later.
  for (int port = 0; port < adapters; ++port) kvxsim({"fill", "--port", std::to_string(port), "--slot", "3"});
  start_service(300);
  for (int port = 0; port < adapters; port += 2) kvxsim({"fill", "--port", std::to_string(port), "--slot", "9"});
  ASSERT_TRUE(eventually([&] { return occurrences(kvxsim({"status"}), "occupied slots: none") == adapters; },
                         std::chrono::seconds(120)));
  service_->stop();

  const std::string app = application_log();
  int reported_in_all = 0;
  for (int port = 0; port < adapters; ++port) {
    SCOPED_TRACE(port);
    const std::string file = log_of(location_of(port));
    const auto seen = numbered_entries(file);
    const auto reported = reported_records(app, location_of(port));
    for (const int n : expected[port]) {
      const int entries = seen.count(n) ? seen.at(n) : 0;
      const int reports = reported.count(n) ? reported.at(n) : 0;
      EXPECT_EQ(entries + reports, 1) << "record " << n << ": " << entries << " entries, " << reports << " reports";
    }
    for (const auto& [n, count] : seen) {
      EXPECT_NE(std::find(expected[port].begin(), expected[port].end(), n), expected[port].end()) << "record " << n;
    }
    reported_in_all += static_cast<int>(reported.size());
    // Slot 3 for all and slot 9 for the even ports at least, by the second run.
    EXPECT_GE(occurrences(file, "---- KVXWDD LOG #------ ----"), 1 + (port % 2 == 0 ? 1 : 0));
    // Every entry is whole: as many end-of-entry blocks as headers, one marker.
    EXPECT_EQ(occurrences(file, "OPTION DATA:        "), occurrences(file, "---- KVXWDD LOG #"));
    EXPECT_EQ(occurrences(file, "--- end of log ---"), 1);
    EXPECT_EQ(std::stoi(file.substr(0, 4)), occurrences(file, "---- KVXWDD LOG #"));
    EXPECT_EQ(file.find("FELM"), std::string::npos) << "no slot release was refused";
  }
  // Only records that came while their device was gone may be reported.
  EXPECT_LE(reported_in_all, rounds);
  const std::string both_runs = first_run + service_output();
  EXPECT_EQ(both_runs.find("ThreadSanitizer"), std::string::npos) << both_runs;
  EXPECT_EQ(app.find("Unable to open file"), std::string::npos);
}

}  // namespace
}  // namespace kvx::test
