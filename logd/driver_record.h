// The System-log records of kvxwdd as hbalogd reads them: the record as read
// (event_record) and as the capture carries it (driver_event), the acceptance
// test, the status word, the event key and its fields with the adapter
// location, and the synthetic record that carries only an adapter location.
//
// A record is an EVENTLOGRECORD (ANSI) block exactly as ReadEventLogA returns
// it, little-endian, offsets from its first byte. Every read below is checked
// against the block's size: a field that does not lie wholly inside the block
// is "not readable" (std::nullopt, or false for the acceptance test), never
// read. The record's DataLength is not consulted; the driver data runs from
// DataOffset to the end of the block.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kvx::logd {

/// One System-log record as ReadEventLogA returned it (EVENTLOGRECORD, ANSI);
/// its size bounds every read from it.
using event_record = std::vector<std::uint8_t>;

/// A driver record as the capture carries it from the log to its entry:
/// decoded once, when it is read, by decode_driver_record below, or made so,
/// for a synthetic record (make_synthetic_record). The queue, the writer and
/// the entry composer use these fields, never the record's bytes.
struct driver_event {
  std::uint32_t number = 0;  ///< RecordNumber; 0 for a synthetic record
  std::uint32_t time_generated = 0;
  std::optional<std::int32_t> status;      ///< the status word, when the data holds one
  std::optional<std::uint32_t> event_key;  ///< the event key, when the data holds one
  std::vector<std::uint8_t> data;          ///< the driver data: DataOffset to the record's end
};

inline constexpr std::uint32_t record_number_offset = 8;
inline constexpr std::uint32_t time_generated_offset = 12;
inline constexpr std::uint32_t event_id_offset = 20;
inline constexpr std::uint32_t data_offset_offset = 52;
inline constexpr std::uint32_t source_name_offset = 56;
/// Data offset of the status word (the packet's UniqueErrorValue).
inline constexpr std::int64_t status_word_position = 16;
inline constexpr std::uint32_t driver_facility = 7;
inline constexpr const char* driver_source_name = "kvxwdd";

inline constexpr int status_class_logged = 0;      ///< logged with detail data
inline constexpr int status_class_ignored = 1;     ///< never queued
inline constexpr int status_class_ungettable = 2;  ///< logged, detail "UNGETTABLE", slot kept

// 32-bit reads over a span that tell "not there" apart from a value: `offset`
// may be any value (negative too), the result is none unless all four bytes
// lie inside `bytes`.
/// The little-endian word at `offset`, or none.
[[nodiscard]] std::optional<std::uint32_t> load_le32(std::span<const std::uint8_t> bytes, std::int64_t offset);
/// The big-endian word at `offset`, or none.
[[nodiscard]] std::optional<std::uint32_t> load_be32(std::span<const std::uint8_t> bytes, std::int64_t offset);

/// RecordNumber; none when the block is too short for it.
[[nodiscard]] std::optional<std::uint32_t> record_number(const event_record& record);
/// TimeGenerated (seconds since 1970 UTC); none when the block is too short for it.
[[nodiscard]] std::optional<std::uint32_t> time_generated(const event_record& record);

/// A 64-bit FNV-1a digest of the whole block: two records of one log under
/// one number differ in it (their time written, source or data).
[[nodiscard]] std::uint64_t record_digest(const event_record& record);

/// The driver data: from DataOffset to the end of the block. Empty when the
/// block has no DataOffset or it points at or past the end.
[[nodiscard]] std::span<const std::uint8_t> driver_data(const event_record& record);

/// True when SourceName is "kvxwdd" (any letter case, whole string, its NUL
/// inside the block) and the facility of EventID is 7.
[[nodiscard]] bool is_driver_record(const event_record& record);
/// (EventID >> 16) & 0xFFF.
[[nodiscard]] constexpr std::uint32_t event_facility(std::uint32_t event_id) { return (event_id >> 16) & 0xFFF; }

/// The signed little-endian word at data offset 16; none when the data is
/// shorter than 20 bytes.
[[nodiscard]] std::optional<std::int32_t> read_status_word(const event_record& record);
/// 0, 1 or 2 from the two top bits of the status word.
[[nodiscard]] constexpr int classify_status(std::int32_t status) {
  const auto bits = static_cast<std::uint32_t>(status) >> 30;
  if (bits < 2) return status_class_logged;
  return bits == 2 ? status_class_ignored : status_class_ungettable;
}

/// The big-endian word at data offset unique_id_position (read from the store
/// at each call); none when it does not lie inside the data (a negative
/// position included).
[[nodiscard]] std::optional<std::uint32_t> read_event_key(const event_record& record);

/// The error number, the key into the error name list: bits 31-24.
[[nodiscard]] constexpr std::uint32_t key_error_number(std::uint32_t key) { return key >> 24; }
/// The detail-data slot: bits 23-16 (a value of 16 or more names no slot).
[[nodiscard]] constexpr std::uint32_t key_slot(std::uint32_t key) { return (key >> 16) & 0xFF; }
/// The PCI bus number: bits 15-8.
[[nodiscard]] constexpr std::uint32_t key_bus(std::uint32_t key) { return (key >> 8) & 0xFF; }
/// The PCI device number: bits 7-3.
[[nodiscard]] constexpr std::uint32_t key_device(std::uint32_t key) { return (key >> 3) & 0x1F; }
/// The PCI function number: bits 2-0.
[[nodiscard]] constexpr std::uint32_t key_function(std::uint32_t key) { return key & 7; }

/// The adapter location: the low 16 bits of an event key, and of an adapter's
/// PCI location word (bus_dev_func). It names the adapter, its log file
/// kvx%04x.log and that file's lock.
using adapter_location = std::uint16_t;

/// The adapter location of an event key (or of a PCI location word): its low 16 bits.
[[nodiscard]] constexpr adapter_location location_of_key(std::uint32_t key) {
  return static_cast<adapter_location>(key);
}

/// The record as the capture carries it: number, time, status word, event key
/// and driver data, each by the operation above (a number or time that cannot
/// be read is 0).
[[nodiscard]] driver_event decode_driver_record(const event_record& record);
/// The class of an event's status word; one that cannot be read is taken as
/// class 2, so that the slot is kept rather than handed back for a record
/// whose class is not known.
[[nodiscard]] inline int event_status_class(const driver_event& event) {
  return classify_status(event.status.value_or(static_cast<std::int32_t>(0xC0000000u)));
}

/// The synthetic record for an adapter's detail data, made as the capture
/// carries a record: RecordNumber 0, TimeGenerated 0, status word 0 (class 0),
/// `bus_dev_func` as its event key (error number 0, slot 0) and no driver
/// data, since its entry shows none. Needs no store and cannot fail.
[[nodiscard]] driver_event make_synthetic_record(std::int32_t bus_dev_func);

}  // namespace kvx::logd
