#include "logd/host/command_line.h"

#include <gtest/gtest.h>

#include "platform/process.h"

namespace kvx::logd {
namespace {

struct switch_case {
  const char* line;
  program_action action;
};

TEST(CommandLine, OnlyTheWholeRestOfTheLineIsASwitch) {
  const switch_case cases[] = {
      {"hbalogd /regserver", program_action::register_server},
      {"hbalogd -RegServer", program_action::register_server},
      {"hbalogd -Service", program_action::register_service},
      {"hbalogd /SERVICE", program_action::register_service},
      {"\"C:\\Program Files\\velmora\\hbalogd\\hbalogd.exe\" /UnregServer", program_action::unregister_server},
      {"C:\\kvx\\hbalogd\\hbalogd.exe /Service", program_action::register_service},
      {"hbalogd /Service /x", program_action::run},
      {"hbalogd /RegServer ", program_action::run},
      {"hbalogd /Reg", program_action::run},
      {"hbalogd Service", program_action::run},
      {"hbalogd -", program_action::run},
      {"hbalogd", program_action::run},
      {"", program_action::run},
      // A "-" inside the program's path starts a comparison that fails.
      {"C:\\my-RegServer\\hbalogd.exe", program_action::run},
      {"/opt/x-y/hbalogd /unregserver", program_action::unregister_server},
      {"/opt/kvx/Service", program_action::register_service},
  };
  for (const switch_case& c : cases) {
    EXPECT_EQ(read_switches(c.line), c.action) << "command line: '" << c.line << "'";
  }
}

TEST(CommandLine, FindSwitchGivesThePositionAfterTheNextDashOrSlash) {
  EXPECT_EQ(find_switch("a -b /c", 0), 3u);
  EXPECT_EQ(find_switch("a -b /c", 3), 6u);
  EXPECT_EQ(find_switch("a -b /c", 6), std::nullopt);
  EXPECT_EQ(find_switch("abc", 0), std::nullopt);
  EXPECT_EQ(find_switch("-", 5), std::nullopt);
}

TEST(CommandLine, ArgumentsAreJoinedAsAWindowsCommandLine) {
  char prog[] = "/opt/kvx/hbalogd";
  char spaced[] = "a b";
  char empty[] = "";
  char sw[] = "/Service";
  char* argv[] = {prog, spaced, empty, sw};
  EXPECT_EQ(platform::process_command_line(4, argv), "/opt/kvx/hbalogd \"a b\" \"\" /Service");
  EXPECT_EQ(read_switches(platform::process_command_line(4, argv)), program_action::register_service);
}

}  // namespace
}  // namespace kvx::logd
