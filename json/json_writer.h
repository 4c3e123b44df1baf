// A small JSON writer: values appended to a string in order, commas and (in
// the indented form) line breaks placed by the writer. Texts are taken as
// bytes: valid UTF-8 passes through, control characters are escaped, and a
// byte that does not begin a valid UTF-8 sequence is written as the character
// of the same number (U+0080 to U+00FF), so the output is always valid JSON.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::json {

/// Appends `text` as a JSON string, quotes included.
void append_string(std::string& out, std::string_view text);

class writer {
 public:
  /// `indent` 0 writes everything on one line (JSON Lines); more indents each
  /// member and element on a line of its own by that many blanks a level.
  explicit writer(std::string& out, int indent = 0) : out_(out), indent_(indent) {}

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  /// The name of the next member of the current object.
  void key(std::string_view name);

  void value(std::string_view text);
  void value(const char* text) { value(std::string_view(text)); }
  void value(std::int64_t number);
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, std::int64_t>) void value(T number) {
    value(static_cast<std::int64_t>(number));
  }
  void value(bool flag);
  void null();
  /// Copies `raw` as it stands: for a value the caller has already made valid
  /// JSON (a hex string checked to hold only hex digits, with its quotes).
  void raw(std::string_view raw_json);

  /// A member whose value is null when absent.
  void member(std::string_view name, std::string_view text) {
    key(name);
    value(text);
  }
  void member(std::string_view name, const std::string& text) {
    key(name);
    value(std::string_view(text));
  }
  void member(std::string_view name, const char* text) {
    key(name);
    value(text);
  }
  template <std::integral T>
  requires(!std::same_as<T, bool>) void member(std::string_view name, T number) {
    key(name);
    value(static_cast<std::int64_t>(number));
  }
  void member(std::string_view name, bool flag) {
    key(name);
    value(flag);
  }
  void member(std::string_view name, const std::optional<std::string>& text);
  void member(std::string_view name, const std::optional<std::int64_t>& number);
  void null_member(std::string_view name) {
    key(name);
    null();
  }

 private:
  void before_value();
  void new_line();

  std::string& out_;
  int indent_;
  /// One flag per open object or array: whether it has a member yet.
  std::vector<bool> filled_;
  bool after_key_ = false;
};

}  // namespace kvx::json
