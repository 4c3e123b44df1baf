#include "kvxlog/program.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <new>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

#include "logd/output/configuration.h"
#include "platform/files.h"
#include "platform/host.h"
#include "platform/registry.h"
#include "platform/win_codes.h"

namespace kvx::kvxlog {
namespace {

constexpr auto poll_interval = std::chrono::seconds(1);
// A file read while hbalogd writes it may show an entry without its header
// yet: such a file is read again this many times before its problems are said.
constexpr int settle_reads = 3;
constexpr auto settle_pause = std::chrono::milliseconds(100);

bool is_log_name(const std::string& name) {
  if (name.size() < 7) return false;
  std::string l(name);
  std::transform(l.begin(), l.end(), l.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return l.starts_with("kvx") && l.ends_with(".log");
}

/// The four hex digits of a name "kvxNNNN.log" (any folder before it).
std::optional<std::string> name_location(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::transform(base.begin(), base.end(), base.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (base.size() != 11 || !base.starts_with("kvx") || !base.ends_with(".log")) return std::nullopt;
  const std::string digits = base.substr(3, 4);
  if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c) != 0; })) {
    return std::nullopt;
  }
  return digits;
}

std::string in_folder(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + "\\" + name;
}

}  // namespace

read_result read_file_bytes(const std::string& path, std::string& bytes) {
  platform::shared_open how = platform::shared_open::refused;
  platform::unique_file file = platform::open_file_shared_for_reading(path.c_str(), how);
  if (!file) return how == platform::shared_open::missing ? read_result::missing : read_result::unreadable;
  // One read of the size the file says it has, then whatever it grew by
  // meanwhile. The size is only a hint (a folder opened as a file gives any
  // number): it is held to what a log file can be, and memory that cannot be
  // had makes the file unreadable rather than ending the program.
  constexpr std::int64_t size_hint_limit = std::int64_t{1} << 30;
  std::int64_t size = 0;
  if (platform::seek_file(file.get(), 0, SEEK_END)) {
    size = std::clamp<std::int64_t>(platform::tell_file(file.get()), 0, size_hint_limit);
  }
  if (!platform::seek_file(file.get(), 0, SEEK_SET)) return read_result::unreadable;
  try {
    bytes.resize(static_cast<std::size_t>(size));
    std::size_t have = std::fread(bytes.data(), 1, bytes.size(), file.get());
    bytes.resize(have);
    std::array<char, 1 << 16> chunk{};
    while ((have = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0) bytes.append(chunk.data(), have);
  } catch (const std::bad_alloc&) {
    bytes.clear();
    bytes.shrink_to_fit();
    return read_result::unreadable;
  }
  return std::ferror(file.get()) != 0 ? read_result::unreadable : read_result::read;
}

namespace {

/// Reads the file again while it seems to be mid-write.
read_result read_settled(const std::string& path, file_state& state) {
  for (int attempt = 0;; ++attempt) {
    const read_result r = read_file_bytes(path, state.bytes);
    if (r != read_result::read) return r;
    read_ring(state.bytes, state.ring);
    if (state.ring.problems.empty() || attempt + 1 >= settle_reads) return r;
    std::this_thread::sleep_for(settle_pause);
  }
}

std::uint64_t item_digest(std::string_view bytes, const ring_item& item) {
  // FNV-1a over the offset and the entry's text.
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&](unsigned char c) {
    h ^= c;
    h *= 1099511628211ull;
  };
  for (int i = 0; i < 8; ++i) mix(static_cast<unsigned char>(item.offset >> (8 * i)));
  for (char c : bytes.substr(item.offset, item.length)) mix(static_cast<unsigned char>(c));
  return h;
}

void write_out(const std::string& text, std::FILE* stream) {
  if (text.empty()) return;
  (void)std::fwrite(text.data(), 1, text.size(), stream);
  (void)std::fflush(stream);
}

void append_problems(const ring_contents& ring, const file_label& label, std::string& problems) {
  for (const std::string& p : ring.problems) problems += "kvxlog: " + label.name + ": " + p + "\n";
}

/// The items of the ring that `opts` selects, in order.
std::vector<const ring_item*> select(const ring_contents& ring, const file_label& label, const options& opts) {
  std::vector<const ring_item*> chosen;
  for (const ring_item& item : ring.items) {
    if (opts.filter.matches(item, label)) chosen.push_back(&item);
  }
  if (opts.filter.last && chosen.size() > *opts.filter.last) {
    chosen.erase(chosen.begin(), chosen.end() - static_cast<std::ptrdiff_t>(*opts.filter.last));
  }
  return chosen;
}

void show_items(std::string_view bytes, const ring_contents& ring, const file_label& label, const options& opts,
                std::string& out, std::string& problems, std::FILE* stream) {
  append_problems(ring, label, problems);
  for (const ring_item* item : select(ring, label, opts)) {
    append_item(out, opts.form, bytes, *item, label);
    if (stream != nullptr && out.size() >= output_piece) {
      write_out(out, stream);
      out.clear();
    }
  }
}

struct followed_file {
  file_label label;
  std::unordered_set<std::uint64_t> seen;  ///< the whole entries already shown or passed over
  std::string said;                        ///< the problems said last, not said again while they stay
};

/// Shows the whole entries of `state` not seen before and remembers them.
void show_new(const file_state& state, followed_file& f, const options& opts, std::string& out) {
  std::unordered_set<std::uint64_t> now;
  for (const ring_item& item : state.ring.items) {
    if (!item.whole) continue;
    const std::uint64_t d = item_digest(state.bytes, item);
    now.insert(d);
    if (f.seen.count(d) == 0 && opts.filter.matches(item, f.label)) {
      append_item(out, opts.form, state.bytes, item, f.label);
    }
  }
  f.seen = std::move(now);
}

class log_files {
 public:
  explicit log_files(const options& opts) : opts_(opts) {}

  /// The files named, then those of the folders in name order. A folder that
  /// cannot be read is said (unless `quiet`) and sets `status`.
  std::vector<std::string> gather(int& status, bool quiet) {
    std::vector<std::string> paths = opts_.files;
    for (const std::string& folder : folders()) {
      std::vector<std::string> names;
      bool missing = false;
      if (!platform::list_folder_files(folder.c_str(), names, missing)) {
        if (!quiet) {
          std::fprintf(stderr, "kvxlog: %s %s\n", missing ? "no such folder" : "cannot read the folder",
                       folder.c_str());
        }
        status = std::max(status, missing ? exit_no_file : exit_unreadable);
        continue;
      }
      std::sort(names.begin(), names.end());
      bool any = false;
      for (const std::string& name : names) {
        if (!is_log_name(name)) continue;
        if (opts_.filter.location && name_location(name) && *name_location(name) != *opts_.filter.location) {
          continue;
        }
        paths.push_back(in_folder(folder, name));
        any = true;
      }
      if (!any && !quiet && !opts_.follow) {
        std::fprintf(stderr, "kvxlog: no log file kvx*.log in %s\n", folder.c_str());
        status = std::max(status, exit_no_file);
      }
    }
    return paths;
  }

 private:
  std::vector<std::string> folders() const {
    if (!opts_.folders.empty() || !opts_.files.empty()) return opts_.folders;
    return {configured_log_folder()};
  }
  const options& opts_;
};

file_label label_for(const std::string& path) { return file_label{path, name_location(path)}; }

/// Worse results win: bad switch, unreadable, no file, damaged, done.
int worse(int a, int b) {
  auto rank = [](int code) {
    switch (code) {
      case exit_unreadable:
        return 3;
      case exit_no_file:
        return 2;
      case exit_damaged:
        return 1;
      default:
        return 0;
    }
  };
  return rank(b) > rank(a) ? b : a;
}

/// `state` and `out` are the caller's, so that one buffer serves every file.
int read_one(const std::string& path, const options& opts, std::map<std::string, followed_file>* follow,
             file_state& state, std::string& out) {
  const file_label label = label_for(path);
  const read_result r = read_settled(path, state);
  if (r == read_result::missing) {
    std::fprintf(stderr, "kvxlog: no such file %s\n", path.c_str());
    return exit_no_file;
  }
  if (r == read_result::unreadable) {
    std::fprintf(stderr, "kvxlog: cannot read %s\n", path.c_str());
    return exit_unreadable;
  }
  out.clear();
  std::string problems;
  show_items(state.bytes, state.ring, label, opts, out, problems, stdout);
  write_out(out, stdout);
  write_out(problems, stderr);
  if (follow != nullptr) {
    followed_file& f = (*follow)[path];
    f.label = label;
    f.said = problems;
    for (const ring_item& item : state.ring.items) {
      if (item.whole) f.seen.insert(item_digest(state.bytes, item));
    }
  }
  return problems.empty() ? exit_done : exit_damaged;
}

[[noreturn]] void follow_files(const options& opts, std::map<std::string, followed_file>& followed) {
  log_files files(opts);
  while (true) {
    std::this_thread::sleep_for(poll_interval);
    int ignored = 0;
    for (const std::string& path : files.gather(ignored, true)) {
      auto it = followed.find(path);
      if (it == followed.end()) it = followed.emplace(path, followed_file{label_for(path), {}, {}}).first;
      followed_file& f = it->second;
      file_state state;
      // A file gone (or not there yet) is followed again once it is back, from its start.
      if (read_settled(path, state) != read_result::read) {
        f.seen.clear();
        continue;
      }
      std::string out;
      show_new(state, f, opts, out);
      std::string problems;
      append_problems(state.ring, f.label, problems);
      write_out(out, stdout);
      if (problems != f.said) write_out(problems, stderr);
      f.said = problems;
    }
  }
}

}  // namespace

std::string configured_log_folder() {
  platform::unique_reg_key key;
  if (platform::host_registry().open_key(platform::hive_root::local_machine, logd::configuration_key,
                                         win::key_query_value, key) != win::error_success ||
      !key) {
    return logd::default_log_folder;
  }
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (key->query_value(logd::log_folder_value, &type, nullptr, &size) != win::error_success) {
    return logd::default_log_folder;
  }
  if (type != win::reg_sz) {
    std::fprintf(stderr, "kvxlog: The type of registory %s is wrong. Use default parameter.\n", logd::log_folder_value);
    return logd::default_log_folder;
  }
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size) + 1, 0);
  std::uint32_t filled = size;
  if (key->query_value(logd::log_folder_value, &type, buffer.data(), &filled) != win::error_success || filled > size) {
    return logd::default_log_folder;
  }
  return std::string(reinterpret_cast<const char*>(buffer.data()));
}

void show_file(file_state& state, const file_label& label, const options& opts, std::string& out, std::string& problems,
               std::FILE* stream) {
  read_ring(state.bytes, state.ring);
  show_items(state.bytes, state.ring, label, opts, out, problems, stream);
}

int run_kvxlog(int argc, const char* const* argv) {
  options opts;
  std::string error;
  if (!parse_options(argc, argv, opts, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return exit_bad_switch;
  }
  if (opts.usage) {
    std::fputs(usage_text(), stdout);
    return exit_done;
  }
  int status = exit_done;
  log_files files(opts);
  const std::vector<std::string> paths = files.gather(status, false);
  std::map<std::string, followed_file> followed;
  file_state state;
  std::string out;
  for (const std::string& path : paths) {
    status = worse(status, read_one(path, opts, opts.follow ? &followed : nullptr, state, out));
  }
  if (opts.follow) follow_files(opts, followed);
  return status;
}

}  // namespace kvx::kvxlog
