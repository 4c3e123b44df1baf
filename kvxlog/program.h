// kvxlog, the whole program: the files to read, each read as a ring and
// shown in the chosen form, then (with -follow) each new entry as it comes.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "kvxlog/log_ring.h"
#include "kvxlog/options.h"

namespace kvx::kvxlog {

/// The program; its exit code (options.h).
int run_kvxlog(int argc, const char* const* argv);

/// The folder hbalogd writes to: its configuration's error_log_file_path when
/// that is a text, the service's default otherwise (a value of the wrong type
/// is said on standard error, as the service says it in its log).
std::string configured_log_folder();

/// How much output is collected before it is written: small enough to stay
/// in the processor's cache while it is made and written, large enough that
/// each write is worth its call.
inline constexpr std::size_t output_piece = 256 * 1024;

/// One file's bytes and its ring, kept from file to file so that their room
/// is reused.
struct file_state {
  std::string bytes;
  ring_contents ring;
};

enum class read_result { read, missing, unreadable };

/// Reads the whole file at `path` into `bytes` (reusing its room) as kvxlog
/// reads a log file: one read of the size it has, then whatever it grew by.
read_result read_file_bytes(const std::string& path, std::string& bytes);

/// `state.bytes` read as a ring into `state.ring`, and the entries the filter
/// passes, in `form`, appended to `out`; what does not agree appended to
/// `problems`, a line each naming the file. With a `stream`, `out` is written
/// to it and emptied whenever it holds output_piece bytes; what is left is the
/// caller's to write. The part of the program the benchmark measures.
void show_file(file_state& state, const file_label& label, const options& opts, std::string& out, std::string& problems,
               std::FILE* stream = nullptr);

}  // namespace kvx::kvxlog
