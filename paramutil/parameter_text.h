// The text of a parameter string: a run of "Name=value;" entries with nothing
// between them. Pure functions over the text; no registry here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvx::paramutil {

/// Where one entry lies in a parameter string (offsets into it).
struct entry_location {
  std::size_t begin = 0;   // first character of the entry name
  std::size_t end = 0;     // one past its ";", or the end of the text when no ";" follows
  bool has_value = false;  // an "=" stands between the name and the end
  std::size_t value_begin = 0;
  std::size_t value_end = 0;  // the value text is [value_begin, value_end)
};

/// The entry starts at the first occurrence of `entry_name` anywhere in the
/// text (plain, case-sensitive). An entry without a closing ";" reaches to the
/// end of the text, so that replacing it never leaves a fragment behind. Its
/// value is what lies between the first "=" inside the entry and its ";".
std::optional<entry_location> find_entry(std::string_view text, std::string_view entry_name);

/// The text with the entry taken out: what stood before it followed by what
/// stood after its ";".
std::string without_entry(std::string_view text, const entry_location& entry);

/// The leading number of a value text as the driver reads it: an optional sign,
/// then decimal digits, or for `hex` an optional "0x"/"0X" and hexadecimal
/// digits. None when no digit leads or the number does not fit in 32 signed bits.
std::optional<std::int32_t> leading_number(std::string_view value, bool hex);

}  // namespace kvx::paramutil
