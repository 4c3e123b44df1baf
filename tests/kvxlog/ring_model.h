// Log files made the way hbalogd makes them, for the reader's tests: an
// entry's text from its parts, and a ring that takes entries as the service
// writes them (header, entry at the write offset, end marker, blanked marker
// at a wrap), remembering where each one went. Header only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kvx::test {

struct entry_parts {
  std::optional<std::uint32_t> record;  ///< none: an entry for detail data without a record
  std::string written = "20261207 140230";
  int milliseconds = 517;
  int bus = 2;
  int device = 1;
  int function = 0;
  std::string error_name = "LINK_DOWN";
  std::string level = "ERROR";
  std::string driver_version = "2.1.4";
  std::string firmware_version = "10.02";
  std::string wwn = "2000000000000201";
  std::vector<std::uint8_t> event_data = std::vector<std::uint8_t>(20, 0x11);
  std::optional<std::vector<std::uint8_t>> detail = std::vector<std::uint8_t>(64, 0x22);
  std::optional<std::uint32_t> last_error;  ///< set: the detail request failed (DETAIL DATA WAS UNGETTABLE)
  std::optional<int> refused_slot;
};

inline std::string hex_dump(const char* name, const std::vector<std::uint8_t>& bytes) {
  char line[128];
  std::snprintf(line, sizeof line, "---          HEX DUMP (%s:SIZE=0x%04x)         ---\r\n", name,
                static_cast<unsigned>(bytes.size()));
  std::string out = line;
  out += "              :  0 1 2 3  4 5 6 7  8 9 A B  C D E F\r\n";
  out += "--------------:------------------------------------\r\n";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t c = i % 16;
    if (c == 0) {
      std::snprintf(line, sizeof line, "0x%04x(%05d) : ", static_cast<unsigned>(i), static_cast<int>(i));
      out += line;
    } else if (c % 4 == 0) {
      out += ' ';
    }
    std::snprintf(line, sizeof line, "%02x", bytes[i]);
    out += line;
    if (c == 15) out += "\r\n";
  }
  return out;
}

inline std::string hex_of(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

inline std::string entry_text(const entry_parts& e) {
  std::string t;
  char line[256];
  if (e.last_error) {
    std::snprintf(line, sizeof line, "DETAIL DATA WAS UNGETTABLE.\r\nGET LAST ERROR = %04x\r\n\r\n", *e.last_error);
    t += line;
  }
  if (e.record) {
    t += "---- KVXWDD LOG #" + std::to_string(*e.record) + " ----\r\n\r\n";
    t += "EVENT LOG DATE/TIME:2026/12/07 14:02:16\r\n\r\n";
    t += "EVENT LOG DUMP:\r\n" + hex_dump("EVENT LOG DUMP", e.event_data);
  } else {
    t += "---- KVXWDD LOG #------ ----\r\n\r\nEVENT LOG DATE/TIME:----/--/-- --:--:--\r\n\r\n";
    t += "EVENT LOG DUMP:     UNKNOWN\r\n";
  }
  t += "\r\n\r\n";
  t += "ERROR NAME:         " + e.error_name + "\r\nLEVEL:              " + e.level + "\r\n\r\n";
  std::snprintf(line, sizeof line, "BUS NUMBER:         %d\r\nDEVICE NUMBER:      %d\r\nFUNCTION NUMBER:    %d\r\n\r\n",
                e.bus, e.device, e.function);
  t += line;
  t += "DRIVER VERSION:     " + e.driver_version + "\r\nFIRMWARE VERSION:   " + e.firmware_version + "\r\n";
  t += "ADAPTER WWN:        " + e.wwn + "\r\n";
  std::snprintf(line, sizeof line, "OPTION DATA:        %s %03d\r\n\r\n", e.written.c_str(), e.milliseconds);
  t += line;
  if (e.detail) {
    t += "DETAIL DATA:\r\n" + hex_dump("ERRLOG", *e.detail);
    if (e.refused_slot) {
      std::snprintf(line, sizeof line, "OPTION DATA:        FELM%02d\r\n", *e.refused_slot);
      t += line;
    }
  } else {
    t += "DETAIL DATA: UNGETTABLE\r\n";
  }
  t += "\r\n\r\n\r\n\r\n";
  return t;
}

inline std::string header_line(int count, std::size_t offset) {
  char line[32];
  std::snprintf(line, sizeof line, "%4d %9d\r\n", count, static_cast<int>(offset));
  return line;
}

/// A log file written entry by entry as hbalogd writes it.
class ring_model {
 public:
  explicit ring_model(int max_record_count) : max_(max_record_count) { file_ = header_line(0, 16); }

  struct written_entry {
    std::size_t offset;
    std::string text;
    entry_parts parts;
  };

  void write(const entry_parts& parts) {
    if (max_ != 0 && count_ >= max_) {
      if (file_.size() >= offset_ + marker_.size()) file_.replace(offset_, marker_.size(), marker_.size(), ' ');
      count_ = 0;
      offset_ = 16;
    }
    const std::string text = entry_text(parts) + marker_;
    if (file_.size() < offset_ + text.size()) file_.resize(offset_ + text.size(), '\0');
    file_.replace(offset_, text.size(), text);
    written_.push_back({offset_, text.substr(0, text.size() - marker_.size()), parts});
    offset_ += text.size() - marker_.size();
    ++count_;
    file_.replace(0, 16, header_line(count_, offset_));
  }

  const std::string& file() const { return file_; }
  /// The entries written whose bytes the file still holds, in the order of writing.
  std::vector<written_entry> held() const {
    std::vector<written_entry> out;
    for (const written_entry& w : written_) {
      if (file_.compare(w.offset, w.text.size(), w.text) == 0) out.push_back(w);
    }
    return out;
  }

 private:
  const std::string marker_ = "--- end of log ---";
  int max_;
  int count_ = 0;
  std::size_t offset_ = 16;
  std::string file_;
  std::vector<written_entry> written_;
};

}  // namespace kvx::test
