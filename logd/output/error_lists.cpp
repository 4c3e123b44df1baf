#include "logd/output/error_lists.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "logd/output/decimal_text.h"
#include "logd/output/report_event.h"
#include "platform/files.h"

namespace kvx::logd {
namespace {

// Lines are read in pieces of at most 255 characters (a 256-byte buffer); a
// longer line is judged piece by piece, as if each piece were a line.
constexpr int line_buffer_size = 256;
constexpr std::size_t path_buffer_size = 256;
constexpr std::string_view blank_chars = " \t\r\n\v\f";
constexpr std::string_view token_delimiters = " ,\t\n";

struct list_kind {
  const char* file_name;
  int commas;  ///< the exact comma count of a valid line
  int tokens;  ///< tokens the line must carry
  const char* table_message;
  const char* name_message;
};

constexpr std::array<list_kind, 2> kinds{{
    {"errorlog_list.txt", 2, 3, "Unable to allocate memory for errorlist name.",
     "Unable to allocate memory for errorlist name name."},
    {"errorlevel_list.txt", 1, 2, "Unable to allocate memory for errorlist level.",
     "Unable to allocate memory for errorlist level log level."},
}};

std::string_view trim(std::string_view line) {
  const std::size_t first = line.find_first_not_of(blank_chars);
  if (first == std::string_view::npos) return {};
  const std::size_t last = line.find_last_not_of(blank_chars);
  return line.substr(first, last - first + 1);
}

std::vector<std::string_view> split_tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t pos = 0;
  while (pos < line.size()) {
    const std::size_t start = line.find_first_not_of(token_delimiters, pos);
    if (start == std::string_view::npos) break;
    std::size_t end = line.find_first_of(token_delimiters, start);
    if (end == std::string_view::npos) end = line.size();
    tokens.push_back(line.substr(start, end - start));
    pos = end;
  }
  return tokens;
}

// The tokens of a valid line, or none. A line with the right number of commas
// but too few tokens ("5,,", "5,NAME,") is skipped like any malformed line, so
// no entry is ever filled from a token that is not there.
bool valid_line(std::string_view piece, const list_kind& kind, std::vector<std::string_view>& tokens) {
  const std::string_view line = trim(piece);
  if (line.empty() || line.front() == '#') return false;
  int commas = 0;
  for (std::size_t i = 0; i < line.size() && i < static_cast<std::size_t>(line_buffer_size); ++i) {
    if (line[i] == ',') ++commas;
  }
  if (commas != kind.commas) return false;
  tokens = split_tokens(line);
  return static_cast<int>(tokens.size()) >= kind.tokens;
}

// Calls `use` with the tokens of every valid line, in file order.
template <class Use>
void for_each_valid_line(std::FILE* file, const list_kind& kind, Use&& use) {
  std::array<char, line_buffer_size> buffer{};
  std::vector<std::string_view> tokens;
  while (std::fgets(buffer.data(), line_buffer_size, file) != nullptr) {
    if (valid_line(std::string_view(buffer.data()), kind, tokens)) {
      if (!use(tokens)) return;
    }
  }
}

std::string list_path(const std::string& directory, const char* file_name) {
  std::string path = directory;
  if (path.empty() || path.back() != '\\') path += '\\';
  path += file_name;
  return path;
}

template <class Table>
std::unique_ptr<Table> allocate_table(std::size_t count) {
  auto table = std::unique_ptr<Table>(new (std::nothrow) Table());
  if (!table) return nullptr;
  try {
    table->reserve(count);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return table;
}

// Copies a token into a new name; false when memory is short.
bool copy_name(std::string_view token, std::string& out) {
  try {
    out.assign(token);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

template <class Entry, class Fill>
int load_table(std::FILE* file, const list_kind& kind, std::unique_ptr<std::vector<Entry>>& out, Fill&& fill) {
  std::size_t count = 0;
  for_each_valid_line(file, kind, [&](const std::vector<std::string_view>&) {
    ++count;
    return true;
  });
  std::rewind(file);
  auto table = allocate_table<std::vector<Entry>>(count);
  if (!table) {
    report_event(report_error, "%s", kind.table_message);
    return 1;
  }
  bool ok = true;
  for_each_valid_line(file, kind, [&](const std::vector<std::string_view>& tokens) {
    // The file may have grown between the passes; the table holds what the
    // first pass counted.
    if (table->size() == count) return false;
    Entry entry;
    if (!fill(tokens, entry)) {
      ok = false;
      return false;
    }
    table->push_back(std::move(entry));
    return true;
  });
  if (!ok) {
    report_event(report_error, "%s", kind.name_message);
    return 1;
  }
  out = std::move(table);
  return 0;
}

}  // namespace

int load_error_list(int kind) {
  if (kind != error_name_list && kind != error_level_list) return 1;
  const list_kind& k = kinds[static_cast<std::size_t>(kind)];
  const std::string path = list_path(get_error_log_list_path().value_or(""), k.file_name);
  const std::string quoted = "\"" + path + "\"";
  // A path that does not fit the 256-character buffer would name another file.
  platform::unique_file file = path.size() < path_buffer_size ? platform::open_file(path.c_str(), "r") : nullptr;
  if (!file) {
    report_event(report_error, "Unable to open file %s", quoted.c_str());
    return 1;
  }
  if (kind == error_name_list) {
    std::unique_ptr<std::vector<name_entry>> table;
    const int failed =
        load_table<name_entry>(file.get(), k, table, [](const std::vector<std::string_view>& t, name_entry& e) {
          e.error_number = decimal_or_zero(t[0]);
          e.level_number = decimal_or_zero(t[2]);
          return copy_name(t[1], e.error_name);
        });
    if (failed != 0) return 1;
    const auto count = static_cast<std::int32_t>(table->size());
    set_errorlist_name_table(std::move(table));
    set_errorlist_name_count(count);
    return 0;
  }
  std::unique_ptr<std::vector<level_entry>> table;
  const int failed =
      load_table<level_entry>(file.get(), k, table, [](const std::vector<std::string_view>& t, level_entry& e) {
        e.level_number = decimal_or_zero(t[0]);
        return copy_name(t[1], e.level_name);
      });
  if (failed != 0) return 1;
  const auto count = static_cast<std::int32_t>(table->size());
  set_errorlist_level_table(std::move(table));
  set_errorlist_level_count(count);
  return 0;
}

namespace {

// The first of the table's first `count` entries that `matches` accepts.
template <class Entry, class Match>
const Entry* first_match(const std::vector<Entry>* table, std::int32_t count, Match&& matches) {
  if (table == nullptr) return nullptr;
  const std::size_t n = std::min<std::size_t>(table->size(), static_cast<std::size_t>(std::max(0, count)));
  for (std::size_t i = 0; i < n; ++i) {
    if (matches((*table)[i])) return &(*table)[i];
  }
  return nullptr;
}

}  // namespace

const name_entry* find_error_name(std::int32_t error_number) {
  return first_match(get_errorlist_name_table(), get_errorlist_name_count(),
                     [&](const name_entry& e) { return e.error_number == error_number; });
}

const level_entry* find_error_level(const name_entry* name) {
  if (name == nullptr) return nullptr;
  return first_match(get_errorlist_level_table(), get_errorlist_level_count(),
                     [&](const level_entry& e) { return e.level_number == name->level_number; });
}

}  // namespace kvx::logd
