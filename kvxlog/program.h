// kvxlog, the whole program: the files to read, each read as a ring and
// shown in the chosen form, then (with -follow) each new entry as it comes.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "kvxlog/options.h"

namespace kvx::kvxlog {

/// The program; its exit code (options.h).
int run_kvxlog(int argc, const char* const* argv);

/// The folder hbalogd writes to: its configuration's error_log_file_path when
/// that is a text, the service's default otherwise (a value of the wrong type
/// is said on standard error, as the service says it in its log).
std::string configured_log_folder();

/// One file's bytes read as a ring and the entries the filter passes, in
/// `form`, appended to `out`; what does not agree appended to `problems`,
/// a line each naming the file. The part of the program the benchmark measures.
void show_file(std::string_view bytes, const file_label& label, const options& opts, std::string& out,
               std::string& problems);

}  // namespace kvx::kvxlog
