// simhost eventlog: shows, clears and writes the simulated System and
// Application logs (platform/sim/event_log_file.h). Exit status 0 on success,
// 1 when the log cannot be read or written, 2 for bad arguments (nothing is
// changed then).
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/event_log_file.h"
#include "simhost/commands.h"

namespace kvx::simhost {
namespace {

constexpr const char* usage_text =
    "usage: simhost eventlog show System|Application\n"
    "       simhost eventlog clear System|Application [--keep-numbers | --next N]\n"
    "       simhost eventlog write System|Application --source S --id ID\n"
    "             [--type error|warning|information|success|audit-success|audit-failure|N]\n"
    "             [--category N] [--time UNIXSECONDS] [--string TEXT]... [--data HEX]\n";

int bad_usage(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "simhost eventlog: %s%s\n", what, detail.c_str());
  std::fputs(usage_text, stderr);
  return 2;
}

// Decimal, or hexadecimal after 0x; the whole word, within `max`.
std::optional<std::uint64_t> parse_number(const std::string& s, std::uint64_t max) {
  if (s.empty() || s[0] == '-' || s[0] == '+' || std::isspace(static_cast<unsigned char>(s[0])) != 0) return {};
  const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == s.c_str() || *end != '\0' || v > max) return {};
  return static_cast<std::uint64_t>(v);
}

std::optional<std::uint16_t> parse_type(const std::string& s) {
  static const struct {
    const char* name;
    std::uint16_t value;
  } names[] = {{"success", 0},     {"error", 1},         {"warning", 2},
               {"information", 4}, {"audit-success", 8}, {"audit-failure", 16}};
  for (const auto& n : names) {
    if (s == n.name) return n.value;
  }
  if (auto v = parse_number(s, 0xFFFF)) return static_cast<std::uint16_t>(*v);
  return {};
}

const char* type_name(std::uint16_t type) {
  switch (type) {
    case 0:
      return "success";
    case 1:
      return "error";
    case 2:
      return "warning";
    case 4:
      return "information";
    case 8:
      return "audit success";
    case 16:
      return "audit failure";
    default:
      return "unknown";
  }
}

// Hex digits in pairs; spaces and colons between bytes are allowed.
std::optional<std::vector<std::uint8_t>> parse_hex(const std::string& s) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : s) {
    if (c == ' ' || c == ':') {
      if (high >= 0) return {};
      continue;
    }
    const int d = std::isxdigit(static_cast<unsigned char>(c)) == 0 ? -1
                  : std::isdigit(static_cast<unsigned char>(c)) != 0
                      ? c - '0'
                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (d < 0) return {};
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) return {};
  return out;
}

std::string format_time(std::uint32_t t) {
  const std::time_t when = static_cast<std::time_t>(t);
  std::tm tm{};
  char text[64] = "?";
  if (::gmtime_r(&when, &tm) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return std::string(text) + " (" + std::to_string(t) + ")";
}

void print_record(const sim::event_record& r) {
  std::printf("Record %u\n", r.record_number);
  std::printf("  Time generated: %s\n", format_time(r.time_generated).c_str());
  std::printf("  Time written:   %s\n", format_time(r.time_written).c_str());
  std::printf("  Source:         %s\n", r.source_name.c_str());
  std::printf("  Computer:       %s\n", r.computer_name.c_str());
  std::printf("  Type:           %s (%u)\n", type_name(r.event_type), static_cast<unsigned>(r.event_type));
  std::printf("  Event ID:       0x%08X\n", r.event_id);
  std::printf("  Category:       %u\n", static_cast<unsigned>(r.event_category));
  std::printf("  Strings:        %zu\n", r.strings.size());
  for (std::size_t i = 0; i < r.strings.size(); ++i) std::printf("    %zu: \"%s\"\n", i + 1, r.strings[i].c_str());
  std::printf("  Data:           %zu bytes\n", r.data.size());
  for (std::size_t at = 0; at < r.data.size(); at += 16) {
    std::printf("    %04zx:", at);
    for (std::size_t i = at; i < at + 16 && i < r.data.size(); ++i) std::printf(" %02x", r.data[i]);
    std::printf("\n");
  }
}

int show(const std::string& log, const arguments& rest) {
  if (!rest.empty()) return bad_usage("unexpected argument: ", rest.front());
  sim::event_log_state state;
  if (sim::read_event_log_state(log.c_str(), state) != 0) {
    std::fprintf(stderr, "simhost eventlog: the %s log cannot be read or is corrupt\n", log.c_str());
    return 1;
  }
  std::vector<sim::event_record> records;
  const int rc = sim::read_event_log(log.c_str(), records);
  if (state.record_count == 0) {
    std::printf("%s log: no records, next number %u\n", log.c_str(), state.next_number);
  } else {
    std::printf("%s log: %u records, oldest %u, next number %u\n", log.c_str(), state.record_count, state.oldest_number,
                state.next_number);
  }
  for (const sim::event_record& r : records) print_record(r);
  if (rc != 0) {
    std::fprintf(stderr, "simhost eventlog: the %s log is corrupt after %zu records\n", log.c_str(), records.size());
    return 1;
  }
  return 0;
}

int clear(const std::string& log, const arguments& rest) {
  bool keep = false;
  std::optional<std::uint32_t> next;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == "--keep-numbers") {
      keep = true;
    } else if (rest[i] == "--next") {
      if (i + 1 >= rest.size()) return bad_usage("--next needs a number");
      const auto n = parse_number(rest[++i], 0xFFFFFFFFu);
      if (!n || *n == 0) return bad_usage("--next takes a record number from 1 to 4294967295, not ", rest[i]);
      next = static_cast<std::uint32_t>(*n);
    } else {
      return bad_usage("unexpected argument: ", rest[i]);
    }
  }
  if (keep && next) return bad_usage("--keep-numbers and --next exclude each other");
  const sim::clear_numbering numbering = keep   ? sim::clear_numbering::keep
                                         : next ? sim::clear_numbering::start_at
                                                : sim::clear_numbering::restart;
  if (sim::clear_event_log(log.c_str(), numbering, next.value_or(1)) != 0) {
    std::fprintf(stderr, "simhost eventlog: the %s log cannot be cleared\n", log.c_str());
    return 1;
  }
  sim::event_log_state state;
  if (sim::read_event_log_state(log.c_str(), state) == 0) {
    std::printf("%s log cleared, next number %u\n", log.c_str(), state.next_number);
  }
  return 0;
}

int write(const std::string& log, const arguments& rest) {
  std::optional<std::string> source;
  std::optional<std::uint32_t> id;
  std::uint16_t type = 4;
  std::uint16_t category = 0;
  auto time = static_cast<std::uint32_t>(std::time(nullptr));
  std::vector<std::string> strings;
  std::vector<std::uint8_t> data;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const std::string& opt = rest[i];
    const bool known = opt == "--source" || opt == "--id" || opt == "--type" || opt == "--category" ||
                       opt == "--time" || opt == "--string" || opt == "--data";
    if (!known) return bad_usage("unexpected argument: ", opt);
    if (i + 1 >= rest.size()) return bad_usage(opt.c_str(), " needs a value");
    const std::string& value = rest[++i];
    if (opt == "--source") {
      if (value.empty()) return bad_usage("--source needs a name");
      source = value;
    } else if (opt == "--id") {
      const auto n = parse_number(value, 0xFFFFFFFFu);
      if (!n) return bad_usage("--id takes a 32-bit number, not ", value);
      id = static_cast<std::uint32_t>(*n);
    } else if (opt == "--type") {
      const auto t = parse_type(value);
      if (!t)
        return bad_usage(
            "--type takes error, warning, information, success, audit-success, audit-failure "
            "or a number, not ",
            value);
      type = *t;
    } else if (opt == "--category") {
      const auto n = parse_number(value, 0xFFFF);
      if (!n) return bad_usage("--category takes a number from 0 to 65535, not ", value);
      category = static_cast<std::uint16_t>(*n);
    } else if (opt == "--time") {
      const auto n = parse_number(value, 0xFFFFFFFFu);
      if (!n) return bad_usage("--time takes seconds since 1970 that fit 32 bits, not ", value);
      time = static_cast<std::uint32_t>(*n);
    } else if (opt == "--string") {
      strings.push_back(value);
    } else {
      const auto bytes = parse_hex(value);
      if (!bytes) return bad_usage("--data takes pairs of hex digits, not ", value);
      data = *bytes;
    }
  }
  if (!source) return bad_usage("--source is required");
  if (!id) return bad_usage("--id is required");
  const std::int64_t number =
      sim::append_event_record(log.c_str(), source->c_str(), *id, type, category, time, strings, data);
  if (number < 0) {
    std::fprintf(stderr, "simhost eventlog: the record cannot be written to the %s log\n", log.c_str());
    return 1;
  }
  std::printf("%lld\n", static_cast<long long>(number));
  return 0;
}

}  // namespace

int run_eventlog(const arguments& args) {
  if (args.empty()) return bad_usage("missing sub-command");
  if (args.size() < 2) return bad_usage("missing log name");
  const std::string log = sim::canonical_log_name(args[1].c_str());
  if (log.empty()) return bad_usage("unknown log (System or Application): ", args[1]);
  const arguments rest(args.begin() + 2, args.end());
  if (args[0] == "show") return show(log, rest);
  if (args[0] == "clear") return clear(log, rest);
  if (args[0] == "write") return write(log, rest);
  return bad_usage("unknown sub-command: ", args[0]);
}

}  // namespace kvx::simhost
