#include "json/json_writer.h"

#include <array>
#include <cstdio>

namespace kvx::json {
namespace {

/// The length of the valid UTF-8 sequence that starts `text` at `at`, or 0.
std::size_t utf8_sequence(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

void append_string(std::string& out, std::string_view text) {
  out += '"';
  std::size_t at = 0;
  while (at < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
      // The common case: a run of plain characters in one piece.
      std::size_t end = at + 1;
      while (end < text.size()) {
        const unsigned char d = static_cast<unsigned char>(text[end]);
        if (d < 0x20 || d >= 0x80 || d == '"' || d == '\\') break;
        ++end;
      }
      out.append(text.substr(at, end - at));
      at = end;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c >= 0x80) {
          if (const std::size_t length = utf8_sequence(text, at); length != 0) {
            out.append(text.substr(at, length));
            at += length;
            continue;
          }
          // Not UTF-8: the byte as the character of its number, in UTF-8.
          out += static_cast<char>(0xC0 | (c >> 6));
          out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
          std::array<char, 8> escaped{};
          std::snprintf(escaped.data(), escaped.size(), "\\u%04x", static_cast<unsigned>(c));
          out += escaped.data();
        }
        break;
    }
    ++at;
  }
  out += '"';
}

void writer::new_line() {
  if (indent_ <= 0) return;
  out_ += '\n';
  out_.append(filled_.size() * static_cast<std::size_t>(indent_), ' ');
}

void writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (filled_.empty()) return;
  if (filled_.back()) out_ += ',';
  filled_.back() = true;
  new_line();
}

void writer::begin_object() {
  before_value();
  out_ += '{';
  filled_.push_back(false);
}

void writer::end_object() {
  const bool had_members = filled_.back();
  filled_.pop_back();
  if (had_members) new_line();
  out_ += '}';
}

void writer::begin_array() {
  before_value();
  out_ += '[';
  filled_.push_back(false);
}

void writer::end_array() {
  const bool had_elements = filled_.back();
  filled_.pop_back();
  if (had_elements) new_line();
  out_ += ']';
}

void writer::key(std::string_view name) {
  before_value();
  append_string(out_, name);
  out_ += indent_ > 0 ? ": " : ":";
  after_key_ = true;
}

void writer::value(std::string_view text) {
  before_value();
  append_string(out_, text);
}

void writer::value(std::int64_t number) {
  before_value();
  out_ += std::to_string(number);
}

void writer::value(bool flag) {
  before_value();
  out_ += flag ? "true" : "false";
}

void writer::null() {
  before_value();
  out_ += "null";
}

void writer::raw(std::string_view raw_json) {
  before_value();
  out_.append(raw_json);
}

void writer::member(std::string_view name, const std::optional<std::string>& text) {
  key(name);
  if (text) {
    value(std::string_view(*text));
  } else {
    null();
  }
}

void writer::member(std::string_view name, const std::optional<std::int64_t>& number) {
  key(name);
  if (number) {
    value(*number);
  } else {
    null();
  }
}

}  // namespace kvx::json
