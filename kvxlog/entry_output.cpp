#include "kvxlog/entry_output.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>

#include "json/json_writer.h"

namespace kvx::kvxlog {
namespace {

constexpr std::string_view ungettable = "UNGETTABLE";

/// The four lower-case hex digits of an adapter location ("%04x": a
/// location never passes 0xffff).
std::array<char, 4> location_digits(std::uint32_t location) {
  constexpr std::string_view hex = "0123456789abcdef";
  return {hex[(location >> 12) & 15], hex[(location >> 8) & 15], hex[(location >> 4) & 15], hex[location & 15]};
}

/// "YYYYMMDD HHMMSS" as "YYYY-MM-DDTHH:MM:SS".
void append_written_iso(std::string& out, std::string_view w) {
  out.append(w.substr(0, 4)).append("-").append(w.substr(4, 2)).append("-").append(w.substr(6, 2));
  out.append("T").append(w.substr(9, 2)).append(":").append(w.substr(11, 2)).append(":").append(w.substr(13, 2));
}

void append_text_form(std::string& out, std::string_view file, const ring_item& item, const file_label& label) {
  if (!item.whole) {
    out += "---- fragment of an entry: " + std::to_string(item.length) + " bytes at offset " +
           std::to_string(item.offset) + " of " + label.name + " ----\n";
    return;
  }
  // The entry's own text, CR LF as the platform's line end.
  const std::string_view text = file.substr(item.offset, item.length);
  out.reserve(out.size() + text.size());
  std::size_t p = 0;
  while (p < text.size()) {
    const std::size_t cr = text.find("\r\n", p);
    if (cr == std::string_view::npos) {
      out.append(text.substr(p));
      break;
    }
    out.append(text.substr(p, cr - p));
    out += '\n';
    p = cr + 2;
  }
}

std::string detail_state(const entry_fields& f) {
  if (!f.detail_dump) return "ungettable";
  if (f.refused_slot) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "refused:%02d", *f.refused_slot);
    return text.data();
  }
  return "detail";
}

/// Appends `text` with each control character (a bare line end, say, that a
/// damaged file put into a name) as '?', so that a summary stays one line.
void append_one_line(std::string& out, std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out += (byte < 0x20 || byte == 0x7f) ? '?' : c;
  }
}

void append_summary_form(std::string& out, const ring_item& item, const file_label& label) {
  const std::string location = item_location(item, label).value_or("----");
  if (!item.whole) {
    out += "------------------- " + location + " fragment " + std::to_string(item.length) + " bytes at offset " +
           std::to_string(item.offset) + " of " + label.name + "\n";
    return;
  }
  const entry_fields& f = item.fields;
  std::string when = written_iso(item).value_or("-------------------");
  if (when.size() > 10 && when[10] == 'T') when[10] = ' ';
  out += when;
  out += ' ';
  out += location;
  out += ' ';
  out += f.record ? std::to_string(*f.record) : std::string("------");
  out += ' ';
  append_one_line(out, f.error_name);
  out += ' ';
  append_one_line(out, f.level);
  out += ' ';
  out += detail_state(f);
  out += '\n';
}

/// Appends `number` in decimal.
void append_number(std::string& out, std::int64_t number) {
  std::array<char, 24> text{};
  const auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), number);
  (void)ec;  // 24 characters hold every 64-bit number
  out.append(text.data(), end);
}

/// The number, or null when the entry has none.
template <typename Number>
void append_number_or_null(std::string& out, const std::optional<Number>& number) {
  if (number) {
    append_number(out, static_cast<std::int64_t>(*number));
  } else {
    out += "null";
  }
}

/// A text from the entry as a JSON string, or null for "UNGETTABLE".
void append_known(std::string& out, std::string_view value) {
  if (value == ungettable) {
    out += "null";
  } else {
    json::append_string(out, value);
  }
}

/// A dump's digits as a JSON string (checked to be hex digits when the entry
/// was read: nothing to escape), or null.
void append_dump(std::string& out, std::string_view file, const std::optional<dump_span>& dump) {
  if (!dump) {
    out += "null";
    return;
  }
  out += '"';
  append_dump_hex(out, file, *dump);
  out += '"';
}

/// The JSON form, written straight into `out` in one pass: one object of the
/// members in docs/kvxlog.md, in their order, as json::writer writes them on
/// one line. The texts that the reader checked (the times, the location) are
/// digits and need no escaping; the others go through json::append_string.
void append_json_form(std::string& out, std::string_view file, const ring_item& item, const file_label& label) {
  out += "{\"file\":";
  json::append_string(out, label.name);
  out += ",\"offset\":";
  append_number(out, static_cast<std::int64_t>(item.offset));
  out += ",\"length\":";
  append_number(out, static_cast<std::int64_t>(item.length));
  if (!item.whole) {
    out += ",\"whole\":false,\"location\":";
    if (label.location) {
      json::append_string(out, *label.location);
    } else {
      out += "null";
    }
    out +=
        ",\"record\":null,\"event_time\":null,\"written\":null,\"bus\":null,\"device\":null,\"function\":null,"
        "\"error_name\":null,\"level\":null,\"driver_version\":null,\"firmware_version\":null,"
        "\"adapter_wwn\":null,\"event_log_dump\":null,\"detail_data\":null,\"detail_last_error\":null,"
        "\"refused_slot\":null}\n";
    return;
  }
  const entry_fields& f = item.fields;
  const std::array<char, 4> location = location_digits(f.location());
  out += ",\"whole\":true,\"location\":\"";
  out.append(location.data(), location.size());
  out += "\",\"record\":";
  append_number_or_null(out, f.record);
  out += ",\"event_time\":";
  if (f.event_time.empty()) {
    out += "null";
  } else {
    // "YYYY/MM/DD HH:MM:SS" as "YYYY-MM-DDTHH:MM:SS".
    const std::string_view t = f.event_time;
    out += '"';
    out.append(t.substr(0, 4)).append("-").append(t.substr(5, 2)).append("-").append(t.substr(8, 2));
    out.append("T").append(t.substr(11));
    out += '"';
  }
  out += ",\"written\":";
  if (f.written.empty()) {
    out += "null";
  } else {
    out += '"';
    append_written_iso(out, f.written);
    out += '"';
  }
  out += ",\"bus\":";
  append_number(out, f.bus);
  out += ",\"device\":";
  append_number(out, f.device);
  out += ",\"function\":";
  append_number(out, f.function);
  out += ",\"error_name\":";
  json::append_string(out, f.error_name);
  out += ",\"level\":";
  json::append_string(out, f.level);
  out += ",\"driver_version\":";
  append_known(out, f.driver_version);
  out += ",\"firmware_version\":";
  append_known(out, f.firmware_version);
  out += ",\"adapter_wwn\":";
  append_known(out, f.adapter_wwn);
  out += ",\"event_log_dump\":";
  append_dump(out, file, f.event_dump);
  out += ",\"detail_data\":";
  append_dump(out, file, f.detail_dump);
  out += ",\"detail_last_error\":";
  append_number_or_null(out, f.detail_last_error);
  out += ",\"refused_slot\":";
  append_number_or_null(out, f.refused_slot);
  out += "}\n";
}

}  // namespace

std::optional<std::string> item_location(const ring_item& item, const file_label& label) {
  if (!item.whole) return label.location;
  const std::array<char, 4> digits = location_digits(item.fields.location());
  return std::string(digits.data(), digits.size());
}

std::optional<std::string> written_iso(const ring_item& item) {
  if (!item.whole || item.fields.written.empty()) return std::nullopt;
  std::string s;
  s.reserve(19);
  append_written_iso(s, item.fields.written);
  return s;
}

void append_item(std::string& out, output_form form, std::string_view file, const ring_item& item,
                 const file_label& label) {
  switch (form) {
    case output_form::text:
      append_text_form(out, file, item, label);
      break;
    case output_form::summary:
      append_summary_form(out, item, label);
      break;
    case output_form::json:
      append_json_form(out, file, item, label);
      break;
  }
}

}  // namespace kvx::kvxlog
