// The three forms in which kvxlog shows an entry of a ring (log_ring.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kvxlog/log_ring.h"

namespace kvx::kvxlog {

enum class output_form { text, summary, json };

/// What every line about one file carries.
struct file_label {
  std::string name;                     ///< the file as kvxlog names it
  std::optional<std::string> location;  ///< the four digits of a kvxNNNN.log name
};

/// The adapter location ("0208") of a whole entry, or the file's for a fragment.
std::optional<std::string> item_location(const ring_item& item, const file_label& label);
/// "YYYY-MM-DDTHH:MM:SS" of a whole entry's time of writing, or none.
std::optional<std::string> written_iso(const ring_item& item);

/// Appends the item in `form`, ending with "\n":
/// text: the entry as the file holds it, each CR LF as "\n" (a fragment as
/// one line that names its offset and length);
/// summary: one line, time of writing, location, record number or "------",
/// error name, level, and "detail", "ungettable" or "refused:NN";
/// json: one JSON object on one line (the fields in docs/kvxlog.md).
void append_item(std::string& out, output_form form, std::string_view file, const ring_item& item,
                 const file_label& label);

}  // namespace kvx::kvxlog
