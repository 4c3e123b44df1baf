// kvxlog's command line: switches with "-" or "/" in any letter case, a
// switch's value in the next word or after ":" or "=", and file names.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "kvxlog/entry_output.h"

namespace kvx::kvxlog {

/// Exit codes, written down in docs/kvxlog.md.
inline constexpr int exit_done = 0;
inline constexpr int exit_bad_switch = 1;
inline constexpr int exit_no_file = 2;
inline constexpr int exit_unreadable = 3;
inline constexpr int exit_damaged = 4;

/// Which entries are shown.
struct entry_filter {
  std::optional<std::string> location;  ///< four lower-case hex digits
  std::optional<std::string> error_name;
  std::optional<std::string> level;
  std::optional<std::string> from;  ///< "YYYYMMDDHHMMSS", inclusive
  std::optional<std::string> to;    ///< "YYYYMMDDHHMMSS", inclusive
  std::optional<std::size_t> last;  ///< the last N of each file

  /// Whether the item passes every filter but `last`. A fragment passes only
  /// the location filter (its file's), and only when no other one is set.
  bool matches(const ring_item& item, const file_label& label) const;
};

struct options {
  output_form form = output_form::text;
  bool follow = false;
  bool usage = false;
  std::vector<std::string> files;
  std::vector<std::string> folders;
  entry_filter filter;
};

/// Parses argv[1..]. false after one message on `error` (the usage hint included).
[[nodiscard]] bool parse_options(int argc, const char* const* argv, options& out, std::string& error);

/// A time switch's value as "YYYYMMDDHHMMSS": "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS]" or the same with a
/// blank for "T"; a date alone is its day's start (`end_of_day`: its last second).
std::optional<std::string> parse_time_value(const std::string& text, bool end_of_day);

/// The usage text.
const char* usage_text();

}  // namespace kvx::kvxlog
