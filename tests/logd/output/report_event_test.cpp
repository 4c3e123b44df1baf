// The service's diagnostics: one Application-log event per report.
#include "logd/output/report_event.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/host.h"
#include "tests/fakes/capture_fake_event_log.h"

namespace kvx::logd {
namespace {

TEST(ReportEvent, OneEventFromHbalogdWithTheTextAsItsOnlyString) {
  test::capture_fake_event_logs logs;
  platform::scoped_event_logs guard(logs);
  report_event(report_warning, "Unable to get registory data %s. Use default parameter.", "dump_data_size");
  report_event(report_error, "NotifyChangeEventLog() error returned. Return code is %d.", -7);
  const std::vector<test::reported_event> reports = logs.application.reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].source, "Hbalogd");
  EXPECT_EQ(reports[0].type, 2);
  EXPECT_EQ(reports[0].category, 0);
  EXPECT_EQ(reports[0].event_id, 0xC0000001u);
  EXPECT_EQ(reports[0].data_size, 0u);
  EXPECT_EQ(reports[0].strings,
            std::vector<std::string>{"Unable to get registory data dump_data_size. Use default parameter."});
  EXPECT_EQ(reports[1].type, 1);
  EXPECT_EQ(reports[1].strings.at(0), "NotifyChangeEventLog() error returned. Return code is -7.");
}

TEST(ReportEvent, ALongMessageIsCutAfterIts255thCharacter) {
  test::capture_fake_event_logs logs;
  platform::scoped_event_logs guard(logs);
  const std::string path(400, 'p');
  report_event(report_error, "Unable to open file %s", path.c_str());
  const std::string expected = ("Unable to open file " + path).substr(0, 255);
  ASSERT_EQ(logs.application.texts(), std::vector<std::string>{expected});

  const std::string exact(255 - 20, 'q');
  report_event(report_error, "Unable to open file %s", exact.c_str());
  EXPECT_EQ(logs.application.texts().at(1), "Unable to open file " + exact);
}

TEST(ReportEvent, AnApplicationLogThatRefusesLosesOnlyThatMessage) {
  test::capture_fake_event_logs logs;
  platform::scoped_event_logs guard(logs);
  logs.application.refuse_sources = true;
  report_event(report_error, "Unable to open eventlog.");
  logs.application.refuse_sources = false;
  logs.application.refuse_reports = true;
  report_event(report_error, "Unable to open eventlog.");
  logs.application.refuse_reports = false;
  report_event(report_error, "after %d refusals", 2);
  EXPECT_EQ(logs.application.texts(), std::vector<std::string>{"after 2 refusals"});
}

}  // namespace
}  // namespace kvx::logd
