#include "kvxlog/log_ring.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kvx::kvxlog {
namespace {

constexpr std::string_view crlf = "\r\n";
constexpr std::string_view entry_tail = "\r\n\r\n\r\n\r\n";
constexpr std::string_view event_header = "---- KVXWDD LOG #";
constexpr std::string_view ungettable_head = "DETAIL DATA WAS ";
constexpr std::string_view ruler = "              :  0 1 2 3  4 5 6 7  8 9 A B  C D E F\r\n";
constexpr std::string_view rule = "--------------:------------------------------------\r\n";

constexpr std::array<signed char, 256> make_hex_table() {
  std::array<signed char, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = '0'; c <= '9'; ++c) t[static_cast<std::size_t>(c)] = static_cast<signed char>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[static_cast<std::size_t>(c)] = static_cast<signed char>(c - 'a' + 10);
  return t;
}
constexpr std::array<signed char, 256> lower_hex = make_hex_table();

int hex_value(char c) { return lower_hex[static_cast<unsigned char>(c)]; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

/// A position in the file that never passes `limit`.
class cursor {
 public:
  cursor(std::string_view file, std::size_t at, std::size_t limit) : d_(file.substr(0, limit)), p_(at) {}

  std::size_t pos() const { return p_; }
  bool at_end() const { return p_ >= d_.size(); }
  std::string_view rest() const { return p_ < d_.size() ? d_.substr(p_) : std::string_view(); }

  bool take(std::string_view text) {
    if (rest().substr(0, text.size()) != text) return false;
    p_ += text.size();
    return true;
  }
  /// The text up to the next CR LF, which is passed.
  bool line(std::string_view& value) {
    const std::size_t end = d_.find(crlf, p_);
    if (end == std::string_view::npos) return false;
    value = d_.substr(p_, end - p_);
    p_ = end + crlf.size();
    return true;
  }
  /// A labelled line: `label`, then the value up to CR LF.
  bool labelled(std::string_view label, std::string_view& value) { return take(label) && line(value); }
  /// Decimal digits (at least one, at most `most`) as a number.
  bool decimal(std::uint64_t& value, std::size_t most = 10) {
    std::size_t n = 0;
    value = 0;
    while (p_ + n < d_.size() && n < most && is_digit(d_[p_ + n])) {
      value = value * 10 + static_cast<std::uint64_t>(d_[p_ + n] - '0');
      ++n;
    }
    if (n == 0 || (p_ + n < d_.size() && is_digit(d_[p_ + n]))) return false;
    p_ += n;
    return true;
  }
  bool hex(std::uint64_t& value, std::size_t most = 8) {
    std::size_t n = 0;
    value = 0;
    while (p_ + n < d_.size() && n < most && hex_value(d_[p_ + n]) >= 0) {
      value = value * 16 + static_cast<std::uint64_t>(hex_value(d_[p_ + n]));
      ++n;
    }
    if (n == 0 || (p_ + n < d_.size() && hex_value(d_[p_ + n]) >= 0)) return false;
    p_ += n;
    return true;
  }
  char peek() const { return p_ < d_.size() ? d_[p_] : '\0'; }
  std::string_view data() const { return d_; }
  void set(std::size_t p) { p_ = p; }

 private:
  std::string_view d_;
  std::size_t p_;
};

/// "%d" of bus, device or function: an optional minus and digits.
bool signed_line(cursor& c, std::string_view label, int& value) {
  if (!c.take(label)) return false;
  const bool negative = c.take("-");
  std::uint64_t n = 0;
  if (!c.decimal(n, 10) || n > 2147483648u || !c.take(crlf)) return false;
  value = static_cast<int>(negative ? -static_cast<std::int64_t>(n) : static_cast<std::int64_t>(n));
  return true;
}

// A full byte line whose offset fits its four and five digits, as nearly
// every line is: "0x%04x(%05d) : " (16 characters), four groups of eight
// digits with a blank between them, CR LF: 53 characters in all.
constexpr std::size_t full_line_size = 53;
constexpr std::size_t line_bytes_at = 16;

/// The offset text "0x%04x(%05d) : " of every full line below offset 0x10000,
/// made when the program is built. A line is compared with constant text:
/// a text kept up to date byte by byte and read back eight bytes at a time
/// stalls the processor on every line.
using offset_text = std::array<char, line_bytes_at>;
constexpr std::size_t fast_lines = 0x10000 / 16;
constexpr std::array<offset_text, fast_lines> offset_texts = [] {
  std::array<offset_text, fast_lines> t{};
  constexpr offset_text form{'0', 'x', '0', '0', '0', '0', '(', '0', '0', '0', '0', '0', ')', ' ', ':', ' '};
  constexpr std::string_view hex = "0123456789abcdef";
  for (std::size_t line = 0; line < fast_lines; ++line) {
    const std::size_t at = line * 16;
    offset_text o = form;
    o[2] = hex[at >> 12];
    o[3] = hex[(at >> 8) & 15];
    o[4] = hex[(at >> 4) & 15];
    o[5] = '0';
    o[7] = static_cast<char>('0' + at / 10000);
    o[8] = static_cast<char>('0' + at / 1000 % 10);
    o[9] = static_cast<char>('0' + at / 100 % 10);
    o[10] = static_cast<char>('0' + at / 10 % 10);
    o[11] = static_cast<char>('0' + at % 10);
    t[line] = o;
  }
  return t;
}();

/// The eight characters at `at` as a number, the first in the lowest byte.
std::uint64_t eight_at(const char* at) {
  std::uint64_t x = 0;
  std::memcpy(&x, at, sizeof x);
  return x;
}

constexpr std::uint64_t ones = 0x0101010101010101ull;
constexpr std::uint64_t tops = 0x8080808080808080ull;

/// The top bit of each byte of `x` whose character is no lower-case hex
/// digit. With the top bits cleared first, adding a constant to every byte
/// carries into no other byte, and each byte's top bit then says whether it
/// lies at or above a bound.
std::uint64_t not_hex(std::uint64_t x) {
  const std::uint64_t low = x & ~tops;
  const std::uint64_t from_0 = low + ones * (0x80 - '0');      // top bit: >= '0'
  const std::uint64_t past_9 = low + ones * (0x80 - '9' - 1);  // top bit: >  '9'
  const std::uint64_t from_a = low + ones * (0x80 - 'a');      // top bit: >= 'a'
  const std::uint64_t past_f = low + ones * (0x80 - 'f' - 1);  // top bit: >  'f'
  return (x | ~((from_0 & ~past_9) | (from_a & ~past_f))) & tops;
}

/// Whether the full_line_size characters at `line` are the full line of
/// fast line `k` (byte k * 16): its offset text, then four groups of eight
/// digits with a blank between them, and CR LF. The groups are tested as
/// numbers eight characters at a time, the rest as it must stand.
bool fits_full_line(const char* line, std::size_t k) {
  const char* offset = offset_texts[k].data();
  const char* b = line + line_bytes_at;
  const std::uint64_t wrong = (eight_at(line) ^ eight_at(offset)) | (eight_at(line + 8) ^ eight_at(offset + 8));
  const std::uint64_t digits =
      not_hex(eight_at(b)) | not_hex(eight_at(b + 9)) | not_hex(eight_at(b + 18)) | not_hex(eight_at(b + 27));
  return (wrong | digits) == 0 && b[8] == ' ' && b[17] == ' ' && b[26] == ' ' && b[35] == '\r' && b[36] == '\n';
}

/// One byte line of a dump: "0x%04x(%05d) : " then up to 16 bytes, a blank
/// before each group of four. `full` when it holds 16 (its CR LF is passed).
bool dump_line(cursor& c, std::size_t index, std::size_t& count, bool& full) {
  std::uint64_t hex_index = 0;
  std::uint64_t dec_index = 0;
  if (!c.take("0x") || !c.hex(hex_index, 16) || !c.take("(") || !c.decimal(dec_index, 20) || !c.take(") :") ||
      hex_index != index || dec_index != index) {
    return false;
  }
  const std::string_view d = c.data();
  std::size_t p = c.pos();
  count = 0;
  while (count < 16) {
    if (count % 4 == 0) {
      if (p + 2 < d.size() && d[p] == ' ' && hex_value(d[p + 1]) >= 0) {
        ++p;
      } else {
        break;
      }
    }
    if (p + 1 >= d.size() || hex_value(d[p]) < 0 || hex_value(d[p + 1]) < 0) break;
    p += 2;
    ++count;
  }
  if (count == 0) return false;
  c.set(p);
  full = count == 16;
  if (full && !c.take(crlf)) return false;
  return true;
}

/// A dump titled with `name`: title, ruler, rule and its byte lines.
bool dump(cursor& c, std::string_view name, dump_span& span) {
  std::uint64_t shown = 0;
  if (!c.take("---          HEX DUMP (") || !c.take(name) || !c.take(":SIZE=0x") || !c.hex(shown, 8) ||
      !c.take(")         ---\r\n") || !c.take(ruler) || !c.take(rule)) {
    return false;
  }
  span.begin = c.pos();
  span.end = c.pos();
  span.bytes = 0;
  // The full lines below offset 0x10000 first, each against the offset
  // text it must carry.
  const std::string_view d = c.data();
  std::size_t p = c.pos();
  while (span.bytes < 0x10000 && d.size() - p >= full_line_size && fits_full_line(d.data() + p, span.bytes / 16)) {
    p += full_line_size;
    span.bytes += 16;
    span.end = p - crlf.size();
  }
  c.set(p);
  // Then the lines the fast path does not take: a last, shorter one, and
  // those past offset 0xffff.
  while (c.peek() == '0') {
    const std::size_t line_start = c.pos();
    std::size_t count = 0;
    bool full = false;
    if (!dump_line(c, span.bytes, count, full)) {
      c.set(line_start);
      break;
    }
    span.bytes += count;
    span.end = full ? c.pos() - crlf.size() : c.pos();
    if (!full) break;
  }
  // The dump never shows more than its title says.
  return span.bytes <= shown;
}

bool is_time_of_writing(std::string_view v) {
  // "YYYYMMDD HHMMSS"
  if (v.size() < 15 || v[8] != ' ') return false;
  for (std::size_t i = 0; i < 15; ++i) {
    if (i != 8 && !is_digit(v[i])) return false;
  }
  return true;
}

bool is_event_time(std::string_view v) {
  // "YYYY/MM/DD HH:MM:SS"
  constexpr std::string_view form = "9999/99/99 99:99:99";
  if (v.size() != form.size()) return false;
  for (std::size_t i = 0; i < form.size(); ++i) {
    if (form[i] == '9' ? !is_digit(v[i]) : v[i] != form[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<entry_fields> parse_entry(std::string_view file, std::size_t at, std::size_t limit, std::size_t& end) {
  cursor c(file, at, std::min(limit, file.size()));
  entry_fields f;
  std::string_view v;
  if (c.take(ungettable_head)) {
    // "DETAIL DATA WAS UNGETTABLE." and "GET LAST ERROR = %04x", then an empty line.
    std::uint64_t error = 0;
    if (!c.line(v) || v.empty() || v.back() != '.' || !c.take("GET LAST ERROR = ") || !c.hex(error, 8) ||
        !c.take("\r\n\r\n")) {
      return std::nullopt;
    }
    f.detail_last_error = static_cast<std::uint32_t>(error);
  }
  if (!c.take(event_header)) return std::nullopt;
  if (c.take("------ ----\r\n\r\n")) {
    if (!c.labelled("EVENT LOG DATE/TIME:", v) || !c.take(crlf) || !c.labelled("EVENT LOG DUMP:     ", v)) {
      return std::nullopt;
    }
  } else {
    std::uint64_t number = 0;
    if (!c.decimal(number, 10) || number > 0xFFFFFFFFu || !c.take(" ----\r\n\r\n")) return std::nullopt;
    f.record = static_cast<std::uint32_t>(number);
    if (!c.labelled("EVENT LOG DATE/TIME:", v) || !c.take(crlf)) return std::nullopt;
    if (is_event_time(v)) f.event_time = v;
    if (!c.take("EVENT LOG DUMP:\r\n")) return std::nullopt;
    dump_span span;
    if (!dump(c, "EVENT LOG DUMP", span)) return std::nullopt;
    f.event_dump = span;
  }
  if (!c.take("\r\n\r\n")) return std::nullopt;
  if (!c.labelled("ERROR NAME:         ", f.error_name) || !c.labelled("LEVEL:              ", f.level) ||
      !c.take(crlf)) {
    return std::nullopt;
  }
  if (!signed_line(c, "BUS NUMBER:         ", f.bus) || !signed_line(c, "DEVICE NUMBER:      ", f.device) ||
      !signed_line(c, "FUNCTION NUMBER:    ", f.function) || !c.take(crlf)) {
    return std::nullopt;
  }
  if (!c.labelled("DRIVER VERSION:     ", f.driver_version) ||
      !c.labelled("FIRMWARE VERSION:   ", f.firmware_version) || !c.labelled("ADAPTER WWN:        ", f.adapter_wwn) ||
      !c.labelled("OPTION DATA:        ", f.option_data) || !c.take(crlf)) {
    return std::nullopt;
  }
  if (is_time_of_writing(f.option_data)) f.written = f.option_data.substr(0, 15);
  if (c.take("DETAIL DATA:\r\n")) {
    dump_span span;
    if (!dump(c, "ERRLOG", span)) return std::nullopt;
    f.detail_dump = span;
    if (c.take("OPTION DATA:        FELM")) {
      std::uint64_t slot = 0;
      if (!c.decimal(slot, 3) || !c.take(crlf)) return std::nullopt;
      f.refused_slot = static_cast<int>(slot);
    }
  } else if (!c.labelled("DETAIL DATA: ", v)) {
    return std::nullopt;
  }
  if (!c.take(entry_tail)) return std::nullopt;
  end = c.pos();
  return f;
}

void append_dump_hex(std::string& out, std::string_view file, const dump_span& dump) {
  // The digits go straight into room made for all of them; every write is
  // held to that room, whatever the span says.
  const std::size_t start = out.size();
  out.resize(start + dump.bytes * 2);
  char* to = out.data() + start;
  char* const room_end = out.data() + out.size();
  std::size_t p = dump.begin;
  const std::size_t end = std::min(dump.end, file.size());
  while (p < end) {
    if (end - p >= full_line_size - 2 && file[p + line_bytes_at - 2] == ':' && room_end - to >= 32) {
      // A full line as dump() checked it: four groups of eight.
      for (std::size_t group = 0; group < 4; ++group) {
        std::memcpy(to + group * 8, file.data() + p + line_bytes_at + group * 9, 8);
      }
      to += 32;
      p += full_line_size;
      continue;
    }
    // Past the line's "...) :" to its bytes.
    const std::size_t colon = file.find(") :", p);
    if (colon == std::string_view::npos || colon >= end) break;
    p = colon + 3;
    while (p < end && file[p] != '\r') {
      if (file[p] != ' ' && to < room_end) *to++ = file[p];
      ++p;
    }
    p += crlf.size();
  }
  out.resize(static_cast<std::size_t>(to - out.data()));
}

namespace {

bool is_entry_start(std::string_view file, std::size_t at, std::size_t begin) {
  if (at > begin && file[at - 1] != '\n' && file[at - 1] != ' ') return false;
  const std::string_view rest = file.substr(at);
  return rest.starts_with(event_header) || rest.starts_with(ungettable_head);
}

/// The next entry start in [from, end), or `end`. Both kinds of start are
/// searched for with one pass each over the span.
std::size_t next_entry_start(std::string_view file, std::size_t from, std::size_t begin, std::size_t end) {
  const std::string_view span = file.substr(0, end);
  std::size_t a = span.find(event_header, from);
  std::size_t b = span.find(ungettable_head, from);
  while (a != std::string_view::npos && !is_entry_start(file, a, begin)) a = span.find(event_header, a + 1);
  while (b != std::string_view::npos && !is_entry_start(file, b, begin)) b = span.find(ungettable_head, b + 1);
  const std::size_t q = std::min(a, b);
  return q == std::string_view::npos ? end : q;
}

/// Where a fragment starting at `from` ends: at the next entry start, or
/// just after a closing "\r\n\r\n\r\n\r\n" that a run of blanks follows (the
/// end of a lap), whichever comes first.
std::size_t fragment_end(std::string_view file, std::size_t from, std::size_t begin, std::size_t end) {
  const std::size_t next = next_entry_start(file, from + 1, begin, end);
  const std::string_view span = file.substr(from, next - from);
  std::size_t p = 0;
  while ((p = span.find("\r\n ", p)) != std::string_view::npos) {
    if (p + 2 >= entry_tail.size() && span.substr(p + 2 - entry_tail.size(), entry_tail.size()) == entry_tail) {
      return from + p + 2;
    }
    ++p;
  }
  return next;
}

/// Whether an entry that begins with its record header, and that neither a
/// whole entry nor the file's header stands before, may have lost "DETAIL
/// DATA WAS ..." lines to a later lap. `before` is the fragment just before
/// it, or empty when a marker or a run of blanks does. An entry with those
/// lines, or with a detail dump (which they exclude), has its own start. A
/// fragment that ends in the four closing line ends of another entry, or
/// that is no more than some of those line ends, is what is left of the entry
/// before; anything else may be what is left of the lines.
bool may_have_lost_head(std::string_view before, const entry_fields& f) {
  if (f.detail_last_error || f.detail_dump) return false;
  if (before.empty()) return false;
  if (before.size() >= entry_tail.size() && before.substr(before.size() - entry_tail.size()) == entry_tail) {
    return false;
  }
  const bool line_ends_only =
      before.size() < entry_tail.size() && before.find_first_not_of("\r\n") == std::string_view::npos;
  return !line_ends_only;
}

/// Reads [begin, end) and appends its items to `items`. `behind_marker` says
/// whether a fragment at a lap's start is expected (what a later lap left of
/// an entry); fragments elsewhere are damage and noted in `problems`.
/// Behind the marker each run of blanks begins a new lap: `laps` gets the
/// index in `items` where each lap of the range begins.
void read_range(std::string_view file, std::size_t begin, std::size_t end, bool behind_marker,
                std::vector<ring_item>& items, std::vector<std::size_t>& laps, std::vector<std::string>& problems) {
  laps.assign(1, items.size());
  std::size_t p = begin;
  bool lap_start = true;              // nothing read yet in this lap
  bool after_whole = !behind_marker;  // what stands before p is a whole entry's end (or the header)
  const auto lap_empty = [&] { return items.size() == laps.back(); };
  while (p < end) {
    if (file[p] == ' ') {
      // A blanked end marker: the end of one lap, the start of an older one.
      std::size_t q = p;
      while (q < end && file[q] == ' ') ++q;
      if (!behind_marker) {
        problems.push_back(std::to_string(q - p) + " blanks at offset " + std::to_string(p) +
                           " stand between the entries");
      } else if (!lap_empty()) {
        laps.push_back(items.size());
      }
      lap_start = true;
      after_whole = false;
      p = q;
      continue;
    }
    std::size_t entry_end = 0;
    std::optional<entry_fields> f;
    if (is_entry_start(file, p, p)) f = parse_entry(file, p, end, entry_end);
    if (f) {
      ring_item& item = items.emplace_back();
      item.offset = p;
      item.length = entry_end - p;
      item.whole = true;
      if (!after_whole) {
        // The bytes before it in this lap: a fragment just read, or none.
        std::string_view before;
        if (items.size() - 1 > laps.back() && !items[items.size() - 2].whole) {
          const ring_item& prev = items[items.size() - 2];
          before = file.substr(prev.offset, prev.length);
        }
        if (may_have_lost_head(before, *f)) item.whole = false;
      }
      if (item.whole) item.fields = *f;
      p = entry_end;
      after_whole = item.whole;
      lap_start = false;
      continue;
    }
    const std::size_t q = fragment_end(file, p, begin, end);
    ring_item& item = items.emplace_back();
    item.offset = p;
    item.length = q - p;
    if (!behind_marker || !lap_start) {
      problems.push_back(std::to_string(item.length) + " bytes at offset " + std::to_string(p) +
                         " are not a whole entry");
    }
    p = q;
    after_whole = false;
    lap_start = false;
  }
}

/// "%4d %9d" CR LF exactly: blanks, then digits, in each field.
bool read_header(std::string_view file, int& count, std::int64_t& offset) {
  if (file.size() < header_size || file.substr(14, 2) != crlf || file[4] != ' ') return false;
  auto field = [&](std::size_t from, std::size_t width, std::int64_t& value) {
    std::size_t i = from;
    while (i < from + width && file[i] == ' ') ++i;
    if (i == from + width) return false;
    value = 0;
    for (; i < from + width; ++i) {
      if (!is_digit(file[i])) return false;
      value = value * 10 + (file[i] - '0');
    }
    return true;
  };
  std::int64_t c = 0;
  if (!field(0, 4, c) || !field(5, 9, offset)) return false;
  count = static_cast<int>(c);
  return true;
}

/// A span of the file known to hold no "g": a dump's byte lines as the
/// reader checked them (digits, a-f, "0x", "(", ") :", blanks and line ends).
struct span_without_g {
  std::size_t begin = 0;
  std::size_t end = 0;
};

/// Every end marker's offset from the ring's start on. `skip`, in the file's
/// order, names spans that hold no "g", which are not looked through.
std::vector<std::size_t> find_markers(std::string_view file, const std::vector<span_without_g>& skip) {
  // The marker's "g" is rare in a log file (the dumps' digits are a-f, the
  // labels upper case): every "g" is looked for with memchr, and the marker
  // tried where it would end.
  constexpr std::size_t g_at = 13;  // "--- end of log ---"[13] == 'g'
  std::vector<std::size_t> found;
  std::size_t p = header_size + g_at;
  std::size_t next_skip = 0;
  while (p < file.size()) {
    while (next_skip < skip.size() && skip[next_skip].end <= p) ++next_skip;
    if (next_skip < skip.size() && skip[next_skip].begin <= p) {
      p = skip[next_skip].end;
      continue;
    }
    const std::size_t stop = next_skip < skip.size() ? std::min(skip[next_skip].begin, file.size()) : file.size();
    const void* hit = std::memchr(file.data() + p, 'g', stop - p);
    if (hit == nullptr) {
      p = stop;
      continue;
    }
    const std::size_t g = static_cast<std::size_t>(static_cast<const char*>(hit) - file.data());
    const std::size_t start = g - g_at;
    if (file.substr(start, end_marker.size()) == end_marker) {
      found.push_back(start);
      p = start + end_marker.size() + g_at;
    } else {
      p = g + 1;
    }
  }
  return found;
}

/// The dumps of the whole entries in `items` (a ring read by its marker at
/// `marker`), in the file's order.
std::vector<span_without_g> checked_dumps(const std::vector<ring_item>& items, std::size_t marker) {
  std::vector<span_without_g> spans;
  spans.reserve(items.size() * 2);
  const auto add = [&](bool current_lap) {
    for (const ring_item& item : items) {
      if (!item.whole || (item.offset < marker) != current_lap) continue;
      for (const std::optional<dump_span>* d : {&item.fields.event_dump, &item.fields.detail_dump}) {
        if (*d) spans.push_back({(*d)->begin, (*d)->end});
      }
    }
  };
  // The current lap first, then what stands behind the marker, whose laps
  // the ring holds in reverse order.
  add(true);
  const std::size_t behind = spans.size();
  add(false);
  const auto by_begin = [](const span_without_g& a, const span_without_g& b) { return a.begin < b.begin; };
  if (!std::is_sorted(spans.begin() + static_cast<std::ptrdiff_t>(behind), spans.end(), by_begin)) {
    std::sort(spans.begin() + static_cast<std::ptrdiff_t>(behind), spans.end(), by_begin);
  }
  return spans;
}

/// Reads the laps behind the ring's end (from `behind` to the file's end),
/// oldest first, then the current lap (from the header to `lap_end`), into
/// `items`; what does not agree into `problems`. Gives the count of whole
/// entries in the current lap.
std::size_t read_laps(std::string_view file, std::size_t lap_end, std::size_t behind, std::vector<ring_item>& items,
                      std::vector<std::string>& problems) {
  // Older laps: the file's order reversed (a lap further from the marker
  // was written before the laps nearer to it). The current lap is read
  // straight into the ring's items.
  std::vector<ring_item> older;
  std::vector<std::size_t> laps;
  read_range(file, behind, file.size(), true, older, laps, problems);
  for (std::size_t k = laps.size(); k-- > 0;) {
    const std::size_t lap_end_at = k + 1 < laps.size() ? laps[k + 1] : older.size();
    items.insert(items.end(), older.begin() + static_cast<std::ptrdiff_t>(laps[k]),
                 older.begin() + static_cast<std::ptrdiff_t>(lap_end_at));
  }
  const std::size_t current_from = items.size();
  read_range(file, header_size, lap_end, false, items, laps, problems);
  return static_cast<std::size_t>(std::count_if(items.begin() + static_cast<std::ptrdiff_t>(current_from), items.end(),
                                                [](const ring_item& item) { return item.whole; }));
}

/// Notes a count of end markers other than one.
void note_markers(const std::vector<std::size_t>& markers, ring_contents& ring) {
  if (markers.size() > 1) {
    ring.problems.push_back(std::to_string(markers.size()) + " end markers; the ring ends at the one at offset " +
                            std::to_string(*ring.marker));
  }
}

/// Notes a header count that the current lap does not hold, then the
/// problems of reading the laps.
void note_lap_count(std::size_t in_lap, std::vector<std::string>& problems, ring_contents& ring) {
  if (ring.header_read && ring.marker) {
    // The header's count never shows more than 9999.
    const std::size_t shown = std::min<std::size_t>(in_lap, 9999);
    if (static_cast<std::size_t>(ring.header_count) != shown) {
      ring.problems.push_back("the header counts " + std::to_string(ring.header_count) +
                              " entries since the last wrap, the file holds " + std::to_string(in_lap));
    }
  }
  ring.problems.insert(ring.problems.end(), problems.begin(), problems.end());
}

}  // namespace

ring_contents read_ring(std::string_view file) {
  ring_contents ring;
  read_ring(file, ring);
  return ring;
}

void read_ring(std::string_view file, ring_contents& ring) {
  ring.header_read = false;
  ring.header_count = 0;
  ring.header_offset = 0;
  ring.marker.reset();
  ring.items.clear();
  ring.problems.clear();
  if (file.size() < header_size) {
    ring.problems.push_back("the file is shorter than its header (" + std::to_string(file.size()) + " bytes)");
    return;
  }
  ring.header_read = read_header(file, ring.header_count, ring.header_offset);
  if (!ring.header_read) ring.problems.push_back("the header cannot be read; the file is read by its end marker");

  std::vector<std::string> problems;
  if (ring.header_read && ring.header_offset >= static_cast<std::int64_t>(header_size) &&
      static_cast<std::uint64_t>(ring.header_offset) + end_marker.size() <= file.size() &&
      file.substr(static_cast<std::size_t>(ring.header_offset), end_marker.size()) == end_marker) {
    // As nearly always, the header names where the marker stands. The ring is
    // read by it first, and then the other markers are looked for outside the
    // dumps that reading checked (most of the file, and never a "g"). Should
    // that search not find the header's marker (one overlapping another before
    // it), the file is read again as below.
    const auto m = static_cast<std::size_t>(ring.header_offset);
    const std::size_t in_lap = read_laps(file, m, m + end_marker.size(), ring.items, problems);
    const std::vector<std::size_t> markers = find_markers(file, checked_dumps(ring.items, m));
    if (std::find(markers.begin(), markers.end(), m) != markers.end()) {
      ring.marker = m;
      note_markers(markers, ring);
      note_lap_count(in_lap, problems, ring);
      return;
    }
    ring.items.clear();
    problems.clear();
  }

  const std::vector<std::size_t> markers = find_markers(file, {});
  if (!markers.empty()) {
    // The header's marker where it names one; otherwise the first.
    ring.marker = markers.front();
    for (std::size_t m : markers) {
      if (ring.header_read && static_cast<std::int64_t>(m) == ring.header_offset) ring.marker = m;
    }
    note_markers(markers, ring);
  }

  std::size_t lap_end = file.size();
  std::size_t behind = file.size();
  if (ring.marker) {
    lap_end = *ring.marker;
    behind = *ring.marker + end_marker.size();
    if (ring.header_read && ring.header_offset != static_cast<std::int64_t>(*ring.marker)) {
      ring.problems.push_back("the header gives offset " + std::to_string(ring.header_offset) +
                              " for the end marker, which stands at offset " + std::to_string(*ring.marker));
    }
  } else if (ring.header_read && ring.header_offset >= static_cast<std::int64_t>(header_size) &&
             ring.header_offset <= static_cast<std::int64_t>(file.size())) {
    lap_end = static_cast<std::size_t>(ring.header_offset);
    behind = lap_end;
    ring.problems.push_back("the end marker is missing; the ring is taken to end at the header's offset " +
                            std::to_string(lap_end));
  } else {
    ring.problems.push_back("the end marker is missing; the entries are read in the file's order");
  }
  const std::size_t in_lap = read_laps(file, lap_end, behind, ring.items, problems);
  note_lap_count(in_lap, problems, ring);
}

}  // namespace kvx::kvxlog
