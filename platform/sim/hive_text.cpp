// The .reg text of the simulated registry: parsing what regedit or a person
// writes, and writing it the way regedit exports it.
#include <cstddef>
#include <cstdio>

#include "platform/sim/hive.h"
#include "platform/win_codes.h"

namespace kvx::sim {
namespace {

constexpr std::string_view header_v5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view header_v4 = "REGEDIT4";
// regedit breaks hex lists before this column.
constexpr std::size_t wrap_column = 77;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 1 to `max_digits` hex digits as a number; false for anything else.
bool parse_hex_number(std::string_view s, std::size_t max_digits, std::uint32_t& out) {
  if (s.empty() || s.size() > max_digits) return false;
  std::uint32_t n = 0;
  for (char c : s) {
    const int d = hex_digit(c);
    if (d < 0) return false;
    n = n << 4 | static_cast<std::uint32_t>(d);
  }
  out = n;
  return true;
}

bool is_string_type(std::uint32_t type) {
  return type == win::reg_sz || type == win::reg_expand_sz || type == win::reg_multi_sz;
}

// Turns UTF-16LE text (after its byte order mark) into one byte per
// character; false with `bad_line` set for a character above U+00FF.
bool narrow_utf16(std::string_view in, std::string& out, std::size_t& bad_line) {
  if (in.size() % 2 != 0) {
    bad_line = 0;
    return false;
  }
  std::size_t line = 1;
  out.clear();
  out.reserve(in.size() / 2);
  for (std::size_t i = 0; i + 1 < in.size(); i += 2) {
    const auto lo = static_cast<unsigned char>(in[i]);
    const auto hi = static_cast<unsigned char>(in[i + 1]);
    if (hi != 0) {
      bad_line = line;
      return false;
    }
    if (lo == '\n') ++line;
    out += static_cast<char>(lo);
  }
  return true;
}

class reg_parser {
 public:
  reg_parser(std::string_view text, std::vector<reg_edit>& edits) : text_(text), edits_(edits) {}

  int run(hive_error& error) {
    if (!next_line() || trim(line_) != header_v5) {
      if (trim(line_) != header_v4) {
        return fail(error, std::string("not a registry file: the first line must be \"") + std::string(header_v5) +
                               "\" or \"" + std::string(header_v4) + "\"");
      }
      wide_strings_ = false;
    }
    while (next_line()) {
      const std::string_view line = trim(line_);
      if (line.empty() || line.front() == ';') continue;
      int rc = 0;
      if (line.front() == '[') {
        rc = section(line, error);
      } else if (line.front() == '"' || line.front() == '@') {
        rc = value(error);
      } else {
        rc = fail(error, "expected a [key] section, a \"name\"=value line, a ';' comment or a blank line");
      }
      if (rc != 0) return rc;
    }
    return 0;
  }

 private:
  bool next_line() {
    if (pos_ >= text_.size()) return false;
    const std::size_t end = text_.find('\n', pos_);
    const std::size_t stop = end == std::string_view::npos ? text_.size() : end;
    line_ = text_.substr(pos_, stop - pos_);
    if (!line_.empty() && line_.back() == '\r') line_.remove_suffix(1);
    pos_ = stop + 1;
    ++line_number_;
    return true;
  }

  int fail(hive_error& error, const std::string& what) const {
    error.code = win::error_registry_corrupt;
    error.message = "line " + std::to_string(line_number_ == 0 ? 1 : line_number_) + ": " + what;
    return 1;
  }

  int section(std::string_view line, hive_error& error) {
    const std::size_t close = line.rfind(']');
    if (close == std::string_view::npos) return fail(error, "a section needs its closing ']'");
    const std::string_view after = trim(line.substr(close + 1));
    if (!after.empty() && after.front() != ';') return fail(error, "unexpected text after the section's ']'");
    std::string_view name = line.substr(1, close - 1);
    const bool removal = !name.empty() && name.front() == '-';
    if (removal) name.remove_prefix(1);
    reg_edit edit;
    edit.what = removal ? reg_edit::action::delete_key : reg_edit::action::create_key;
    if (parse_full_key_name(name, edit.root, edit.path) != 0) {
      return fail(error, "'" + std::string(name) +
                             "' is not a key of HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT (or has an empty or invalid "
                             "name in it)");
    }
    if (removal && edit.path.empty()) return fail(error, "a root key cannot be deleted");
    have_section_ = !removal;
    section_root_ = edit.root;
    section_path_ = edit.path;
    edits_.push_back(std::move(edit));
    return 0;
  }

  // A quoted string starting at rest[0] == '"'; `rest` is left after the
  // closing quote. Only \\ and \" are escapes, as regedit writes them.
  int quoted(std::string_view& rest, std::string& out, hive_error& error) const {
    out.clear();
    for (std::size_t i = 1; i < rest.size(); ++i) {
      const char c = rest[i];
      if (c == '"') {
        rest.remove_prefix(i + 1);
        return 0;
      }
      if (c == '\\') {
        if (i + 1 >= rest.size() || (rest[i + 1] != '\\' && rest[i + 1] != '"')) {
          return fail(error, "a backslash in quotes must be written \\\\ (or \\\" for a quote)");
        }
        ++i;
        out += rest[i];
      } else {
        out += c;
      }
    }
    return fail(error, "a quoted string has no closing '\"'");
  }

  // The comma-separated bytes of a hex list, across continuation lines.
  int hex_list(std::string_view rest, std::vector<std::uint8_t>& out, hive_error& error) {
    for (;;) {
      rest = trim(rest);
      bool continued = false;
      if (!rest.empty() && rest.back() == '\\') {
        continued = true;
        rest.remove_suffix(1);
      }
      while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = trim(rest.substr(0, comma));
        std::uint32_t byte = 0;
        if (item.empty() && comma == std::string_view::npos && continued) break;
        if (!parse_hex_number(item, 2, byte)) {
          return fail(error, "'" + std::string(item) + "' is not a byte in hex (two hex digits between commas)");
        }
        out.push_back(static_cast<std::uint8_t>(byte));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
        if (trim(rest).empty() && !continued) return fail(error, "a hex list may not end in a comma");
      }
      if (!continued) return 0;
      if (!next_line()) return fail(error, "the hex list continues past the end of the file");
      rest = line_;
    }
  }

  int data(std::string_view rest, reg_edit& edit, hive_error& error) {
    reg_value& v = edit.value;
    if (rest == "-") {
      edit.what = reg_edit::action::delete_value;
      return 0;
    }
    if (!rest.empty() && rest.front() == '"') {
      std::string text;
      if (quoted(rest, text, error) != 0) return 1;
      if (!end_of_value(rest)) return fail(error, "unexpected text after the closing '\"'");
      v.type = win::reg_sz;
      v.data.assign(text.begin(), text.end());
      v.data.push_back(0);
      return 0;
    }
    if (rest.substr(0, 6) == "dword:") {
      std::uint32_t n = 0;
      std::string_view digits = rest.substr(6);
      const std::size_t comment = digits.find(';');
      if (comment != std::string_view::npos) digits = digits.substr(0, comment);
      if (!parse_hex_number(trim(digits), 8, n)) return fail(error, "dword: takes one to eight hex digits");
      v.type = win::reg_dword;
      v.data = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16),
                static_cast<std::uint8_t>(n >> 24)};
      return 0;
    }
    if (rest.substr(0, 4) == "hex:") {
      v.type = win::reg_binary;
      return hex_list(rest.substr(4), v.data, error);
    }
    if (rest.substr(0, 4) == "hex(") {
      const std::size_t close = rest.find("):");
      if (close == std::string_view::npos || !parse_hex_number(rest.substr(4, close - 4), 8, v.type)) {
        return fail(error, "hex(N): needs the type N in hex");
      }
      if (hex_list(rest.substr(close + 2), v.data, error) != 0) return 1;
      if (wide_strings_ && is_string_type(v.type)) return narrow(v.data, error);
      return 0;
    }
    return fail(error, "the data must be \"text\", dword:, hex:, hex(N): or - (to delete)");
  }

  // Version 5.00 string data carries two bytes per character.
  int narrow(std::vector<std::uint8_t>& bytes, hive_error& error) const {
    if (bytes.size() % 2 != 0)
      return fail(error, "string data in hex(1), hex(2) or hex(7) takes two bytes a character");
    std::vector<std::uint8_t> out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
      if (bytes[i + 1] != 0) return fail(error, "a character of the string data is beyond the one-byte range");
      out.push_back(bytes[i]);
    }
    bytes = std::move(out);
    return 0;
  }

  static bool end_of_value(std::string_view rest) {
    rest = trim(rest);
    return rest.empty() || rest.front() == ';';
  }

  int value(hive_error& error) {
    std::string_view rest = trim(line_);
    if (!have_section_) return fail(error, "a value must follow the [key] section that it belongs to");
    reg_edit edit;
    edit.what = reg_edit::action::set_value;
    edit.root = section_root_;
    edit.path = section_path_;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else {
      if (quoted(rest, edit.value.name, error) != 0) return 1;
      if (!valid_value_name(edit.value.name)) return fail(error, "a value name may not hold a control character");
    }
    rest = trim(rest);
    if (rest.empty() || rest.front() != '=') return fail(error, "expected '=' after the value name");
    if (data(trim(rest.substr(1)), edit, error) != 0) return 1;
    edits_.push_back(std::move(edit));
    return 0;
  }

  std::string_view text_;
  std::vector<reg_edit>& edits_;
  std::size_t pos_ = 0;
  std::size_t line_number_ = 0;
  std::string_view line_;
  bool wide_strings_ = true;
  bool have_section_ = false;
  hive_root section_root_ = hive_root::local_machine;
  key_path section_path_;
};

void append_hex(std::string& out, std::uint8_t b) {
  static constexpr char digits[] = "0123456789abcdef";
  out += digits[b >> 4];
  out += digits[b & 0xF];
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// REG_SZ data that the quoted form carries exactly: printable ASCII and one
// terminating NUL.
bool fits_quoted(const reg_value& v) {
  if (v.type != win::reg_sz || v.data.empty() || v.data.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < v.data.size(); ++i) {
    if (v.data[i] < 0x20 || v.data[i] > 0x7E) return false;
  }
  return true;
}

void append_value(std::string& out, const reg_value& v) {
  const std::size_t line_start = out.size();
  if (v.name.empty()) {
    out += '@';
  } else {
    append_quoted(out, v.name);
  }
  out += '=';
  if (fits_quoted(v)) {
    append_quoted(out, std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
    out += '\n';
    return;
  }
  if (v.type == win::reg_dword && v.data.size() == 4) {
    char buf[16];
    const std::uint32_t n = v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<std::uint32_t>(v.data[3]) << 24;
    std::snprintf(buf, sizeof buf, "dword:%08x\n", n);
    out += buf;
    return;
  }
  const bool wide = is_string_type(v.type);
  if (v.type == win::reg_binary) {
    out += "hex:";
  } else {
    char buf[16];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    out += buf;
  }
  std::size_t column = out.size() - line_start;
  const std::size_t count = v.data.size() * (wide ? 2 : 1);
  for (std::size_t i = 0; i < count; ++i) {
    if (column + 3 > wrap_column) {
      out += "\\\n  ";
      column = 2;
    }
    append_hex(out, wide ? (i % 2 == 0 ? v.data[i / 2] : 0) : v.data[i]);
    column += 2;
    if (i + 1 < count) {
      out += ',';
      ++column;
    }
  }
  out += '\n';
}

void append_key(std::string& out, std::string& name, const reg_key& key, bool write_section) {
  if (write_section) {
    out += '[';
    out += name;
    out += "]\n";
    for (const reg_value& v : key.values()) append_value(out, v);
    out += '\n';
  }
  for (const reg_key& sub : key.subkeys()) {
    const std::size_t keep = name.size();
    name += '\\';
    name += sub.name();
    append_key(out, name, sub, true);
    name.resize(keep);
  }
}

}  // namespace

int parse_reg_text(std::string_view text, std::vector<reg_edit>& edits, hive_error& error) {
  std::string narrowed;
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
    std::size_t bad_line = 0;
    if (!narrow_utf16(text.substr(2), narrowed, bad_line)) {
      error.code = win::error_registry_corrupt;
      error.message = bad_line == 0 ? std::string("UTF-16 text with an odd number of bytes")
                                    : "line " + std::to_string(bad_line) + ": a character beyond the one-byte range";
      return 1;
    }
    text = narrowed;
  } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }
  std::vector<reg_edit> parsed;
  reg_parser parser(text, parsed);
  if (parser.run(error) != 0) return 1;
  edits.insert(edits.end(), std::make_move_iterator(parsed.begin()), std::make_move_iterator(parsed.end()));
  return 0;
}

void apply_edits(const std::vector<reg_edit>& edits, hive_root root, reg_key& top) {
  for (const reg_edit& e : edits) {
    if (e.root != root) continue;
    switch (e.what) {
      case reg_edit::action::create_key:
        top.make(e.path, nullptr);
        break;
      case reg_edit::action::delete_key: {
        if (e.path.empty()) break;  // a root stays
        key_path parent(e.path.begin(), e.path.end() - 1);
        if (reg_key* p = top.find(parent); p != nullptr) p->remove_subkey(e.path.back());
        break;
      }
      case reg_edit::action::set_value:
        top.make(e.path, nullptr).set_value(e.value.name, e.value.type, e.value.data);
        break;
      case reg_edit::action::delete_value:
        if (reg_key* k = top.find(e.path); k != nullptr) k->remove_value(e.value.name);
        break;
    }
  }
}

std::string format_reg_text(hive_root root, const key_path& path, const reg_key& key) {
  std::string out(header_v5);
  out += "\n\n";
  std::string name = full_key_name(root, path);
  append_key(out, name, key, !path.empty() || !key.values().empty());
  return out;
}

}  // namespace kvx::sim
