// System-log record numbers: unsigned 32-bit, assigned in increasing order,
// and after 4294967295 the log goes on at 1 (0 is never a record's number;
// it marks synthetic records). All arithmetic is on the ring 1..4294967295 in
// unsigned 64-bit, so no step or comparison can overflow, and "newer" means
// "further along the ring from the oldest record", not "numerically larger".
#pragma once

#include <cstdint>

#include "logd/driver_record.h"

namespace kvx::logd {

inline constexpr std::uint64_t record_number_ring = 0xFFFFFFFFull;

/// The number `steps` records after `n` (n >= 1; 0 counts as the number before 1).
[[nodiscard]] constexpr std::uint32_t advance_record_number(std::uint32_t n, std::uint32_t steps) {
  const std::uint64_t index = n == 0 ? std::uint64_t{steps} + record_number_ring - 1 : std::uint64_t{n} - 1 + steps;
  return static_cast<std::uint32_t>(index % record_number_ring + 1);
}

/// Steps forward from `from` to `to`, both >= 1: 0 .. 4294967294.
[[nodiscard]] constexpr std::uint32_t record_distance(std::uint32_t from, std::uint32_t to) {
  return static_cast<std::uint32_t>((std::uint64_t{to} + record_number_ring - from) % record_number_ring);
}

/// What the System log holds: `count` records from `oldest` on. An empty log
/// reports 0 or the number its next record will get as its oldest.
struct log_span {
  std::uint32_t oldest = 0;
  std::uint32_t count = 0;
};

/// The number of the first record present (an oldest of 0 read as 1).
[[nodiscard]] constexpr std::uint32_t span_first(const log_span& span) { return span.oldest == 0 ? 1 : span.oldest; }

/// The newest record's number; for an empty log the number before its next
/// record (0 when it will start at 1), so that nothing is taken as seen that
/// has not been written.
[[nodiscard]] constexpr std::uint32_t span_newest(const log_span& span) {
  if (span.count == 0) return span.oldest == 0 ? 0 : span.oldest - 1;
  return advance_record_number(span_first(span), span.count - 1);
}

/// Whether record `n` is in the log.
[[nodiscard]] constexpr bool span_holds(const log_span& span, std::uint32_t n) {
  return n != 0 && span.count > 0 && record_distance(span_first(span), n) < span.count;
}

/// What the watcher knows of the record under its last dispatched number. A
/// log cleared and written again up to that number holds another record
/// under it; the number alone would take the new log for the old one.
struct record_mark {
  enum class held : std::uint8_t {
    unknown,  ///< not known (never read, or unreadable): the number alone decides
    none,     ///< no record had the number: a log that holds one now is another log
    record,   ///< the record whose bytes give `digest`
  };
  held kind = held::unknown;
  std::uint64_t digest = 0;
};

/// A record that a pass read and left in the log because its adapter's
/// queue was full: the next pass must find it again, or say it is lost.
struct deferred_record {
  std::uint32_t number = 0;
  adapter_location location = 0;
  std::uint64_t digest = 0;
};

}  // namespace kvx::logd
