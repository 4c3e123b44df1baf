#include "kvxlog/entry_output.h"

#include <array>
#include <cstdio>

#include "json/json_writer.h"

namespace kvx::kvxlog {
namespace {

constexpr std::string_view ungettable = "UNGETTABLE";

std::optional<std::string> known(std::string_view value) {
  if (value == ungettable) return std::nullopt;
  return std::string(value);
}

/// "YYYY/MM/DD HH:MM:SS" as "YYYY-MM-DDTHH:MM:SS".
std::optional<std::string> event_iso(std::string_view t) {
  if (t.empty()) return std::nullopt;
  std::string s(t);
  s[4] = '-';
  s[7] = '-';
  s[10] = 'T';
  return s;
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
  out.append(f.error_name);
  out += ' ';
  out.append(f.level);
  out += ' ';
  out += detail_state(f);
  out += '\n';
}

void dump_member(json::writer& w, std::string_view name, std::string_view file, const std::optional<dump_span>& dump) {
  w.key(name);
  if (!dump) {
    w.null();
    return;
  }
  // The dump's digits were checked to be hex when the entry was read.
  std::string& out = w.raw_value();
  out += '"';
  append_dump_hex(out, file, *dump);
  out += '"';
}

void append_json_form(std::string& out, std::string_view file, const ring_item& item, const file_label& label) {
  json::writer w(out);
  const bool whole = item.whole;
  const entry_fields& f = item.fields;
  w.begin_object();
  w.member("file", label.name);
  w.member("offset", static_cast<std::int64_t>(item.offset));
  w.member("length", static_cast<std::int64_t>(item.length));
  w.member("whole", whole);
  w.member("location", item_location(item, label));
  if (!whole) {
    for (const char* name :
         {"record", "event_time", "written", "bus", "device", "function", "error_name", "level", "driver_version",
          "firmware_version", "adapter_wwn", "event_log_dump", "detail_data", "detail_last_error", "refused_slot"}) {
      w.null_member(name);
    }
    w.end_object();
    out += '\n';
    return;
  }
  w.member("record", f.record ? std::optional<std::int64_t>(*f.record) : std::nullopt);
  w.member("event_time", event_iso(f.event_time));
  w.member("written", written_iso(item));
  w.member("bus", f.bus);
  w.member("device", f.device);
  w.member("function", f.function);
  w.member("error_name", f.error_name);
  w.member("level", f.level);
  w.member("driver_version", known(f.driver_version));
  w.member("firmware_version", known(f.firmware_version));
  w.member("adapter_wwn", known(f.adapter_wwn));
  dump_member(w, "event_log_dump", file, f.event_dump);
  dump_member(w, "detail_data", file, f.detail_dump);
  w.member("detail_last_error", f.detail_last_error ? std::optional<std::int64_t>(*f.detail_last_error) : std::nullopt);
  w.member("refused_slot", f.refused_slot ? std::optional<std::int64_t>(*f.refused_slot) : std::nullopt);
  w.end_object();
  out += '\n';
}

}  // namespace

std::optional<std::string> item_location(const ring_item& item, const file_label& label) {
  if (!item.whole) return label.location;
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04x", static_cast<unsigned>(item.fields.location()));
  return std::string(text.data());
}

std::optional<std::string> written_iso(const ring_item& item) {
  if (!item.whole || item.fields.written.empty()) return std::nullopt;
  const std::string_view w = item.fields.written;  // "YYYYMMDD HHMMSS"
  std::string s;
  s.reserve(19);
  s.append(w.substr(0, 4)).append("-").append(w.substr(4, 2)).append("-").append(w.substr(6, 2));
  s.append("T").append(w.substr(9, 2)).append(":").append(w.substr(11, 2)).append(":").append(w.substr(13, 2));
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
