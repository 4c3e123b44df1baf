#include "kvxlog/options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>

namespace kvx::kvxlog {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool same_text(std::string_view a, std::string_view b) { return lower(a) == lower(b); }

bool digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

enum class kind { flag, value };

struct switch_row {
  const char* name;
  kind takes;
};

constexpr switch_row switches[] = {
    {"summary", kind::flag}, {"json", kind::flag},      {"follow", kind::flag}, {"?", kind::flag},
    {"folder", kind::value}, {"location", kind::value}, {"error", kind::value}, {"level", kind::value},
    {"from", kind::value},   {"to", kind::value},       {"last", kind::value},
};

const switch_row* find_switch(std::string_view name) {
  for (const switch_row& row : switches) {
    if (same_text(name, row.name)) return &row;
  }
  return nullptr;
}

std::string hint() { return " (kvxlog -? shows the usage)"; }

bool apply(const std::string& name, const std::string& value, options& out, std::string& error) {
  const std::string n = lower(name);
  auto bad = [&] {
    error = "kvxlog: " + value + " is not a value for -" + n + hint();
    return false;
  };
  if (n == "folder") {
    out.folders.push_back(value);
  } else if (n == "location") {
    if (value.empty() || value.size() > 4 ||
        !std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isxdigit(c) != 0; })) {
      return bad();
    }
    out.filter.location = lower(std::string(4 - value.size(), '0') + value);
  } else if (n == "error") {
    out.filter.error_name = value;
  } else if (n == "level") {
    out.filter.level = value;
  } else if (n == "from" || n == "to") {
    std::optional<std::string> t = parse_time_value(value, n == "to");
    if (!t) return bad();
    (n == "from" ? out.filter.from : out.filter.to) = *t;
  } else if (n == "last") {
    if (!digits(value) || value.size() > 9) return bad();
    out.filter.last = static_cast<std::size_t>(std::strtoul(value.c_str(), nullptr, 10));
  }
  return true;
}

}  // namespace

std::optional<std::string> parse_time_value(const std::string& text, bool end_of_day) {
  // YYYY-MM-DD, then optionally T or blank and HH:MM, then optionally :SS.
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  const std::string date = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
  if (!digits(date)) return std::nullopt;
  if (text.size() == 10) return date + (end_of_day ? "235959" : "000000");
  if (text[10] != 'T' && text[10] != 't' && text[10] != ' ') return std::nullopt;
  const std::string rest = text.substr(11);
  if ((rest.size() != 5 && rest.size() != 8) || rest[2] != ':' || (rest.size() == 8 && rest[5] != ':')) {
    return std::nullopt;
  }
  std::string clock = rest.substr(0, 2) + rest.substr(3, 2);
  clock += rest.size() == 8 ? rest.substr(6, 2) : (end_of_day ? "59" : "00");
  if (!digits(clock)) return std::nullopt;
  return date + clock;
}

bool entry_filter::matches(const ring_item& item, const file_label& label) const {
  if (location && item_location(item, label) != *location) return false;
  if (!item.whole) return !error_name && !level && !from && !to;
  const entry_fields& f = item.fields;
  if (error_name && !same_text(f.error_name, *error_name)) return false;
  if (level && !same_text(f.level, *level)) return false;
  if (from || to) {
    if (f.written.empty()) return false;
    // "YYYYMMDD HHMMSS" as "YYYYMMDDHHMMSS".
    const std::string when = std::string(f.written.substr(0, 8)) + std::string(f.written.substr(9, 6));
    if (from && when < *from) return false;
    if (to && when > *to) return false;
  }
  return true;
}

bool parse_options(int argc, const char* const* argv, options& out, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.size() >= 2 && (word[0] == '-' || word[0] == '/')) {
      std::string name = word.substr(1);
      std::optional<std::string> value;
      if (const std::size_t cut = name.find_first_of(":="); cut != std::string::npos) {
        value = name.substr(cut + 1);
        name.resize(cut);
      }
      const switch_row* row = find_switch(name);
      // A path of the simulated host ("/tmp/kvx0208.log") is no switch.
      if (row == nullptr && word[0] == '/' && word.find('/', 1) != std::string::npos) {
        out.files.push_back(word);
        continue;
      }
      if (row == nullptr) {
        error = "kvxlog: unknown switch " + word + hint();
        return false;
      }
      if (row->takes == kind::flag) {
        if (value) {
          error = "kvxlog: " + word + " takes no value" + hint();
          return false;
        }
        const std::string n = lower(name);
        if (n == "summary") out.form = output_form::summary;
        if (n == "json") out.form = output_form::json;
        if (n == "follow") out.follow = true;
        if (n == "?") out.usage = true;
        continue;
      }
      if (!value) {
        if (i + 1 >= argc) {
          error = "kvxlog: " + word + " needs a value" + hint();
          return false;
        }
        value = argv[++i];
      }
      if (!apply(name, *value, out, error)) return false;
      continue;
    }
    out.files.push_back(word);
  }
  return true;
}

const char* usage_text() {
  return "kvxlog: shows the entries of the adapters' log files kvxNNNN.log, oldest first.\n"
         "\n"
         "kvxlog [-summary | -json] [-follow] [filters] [FILE ...] [-folder FOLDER ...]\n"
         "\n"
         "  FILE            a log file to read; with no FILE and no -folder, every\n"
         "                  kvx*.log of the folder that hbalogd writes to\n"
         "  -folder FOLDER  every kvx*.log of FOLDER\n"
         "  -summary        one line an entry\n"
         "  -json           one JSON object a line (JSON Lines)\n"
         "  -follow         after the entries there are, each new one as it is written\n"
         "  -location LLLL  only the adapter at location LLLL (hex, as in kvxLLLL.log)\n"
         "  -error NAME     only entries of this error name\n"
         "  -level NAME     only entries of this level\n"
         "  -from TIME      only entries written at TIME or later (YYYY-MM-DD[THH:MM[:SS]])\n"
         "  -to TIME        only entries written at TIME or earlier\n"
         "  -last N         only the last N entries of each file\n"
         "  -?              this text\n"
         "\n"
         "Switches begin with - or /, in any letter case. Exit codes: 0 done, 1 bad switch,\n"
         "2 no log file, 3 a file could not be read, 4 a file is damaged (said on standard error).\n";
}

}  // namespace kvx::kvxlog
