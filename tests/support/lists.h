// hbalogd's list files (errorlog_list.txt, errorlevel_list.txt) on the
// simulated host of the calling test (KVX_HOST_ROOT). Header only, so that
// the benchmarks can use it without the test library.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/files.h"

namespace kvx::test {

/// The native path of the folder hbalogd reads its lists from.
inline std::filesystem::path list_folder() {
  return platform::native_path("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd");
}

/// Writes the list file `name` with exactly `text`, creating the folder; false
/// when it could not be written.
inline bool write_list(const char* name, const std::string& text) {
  std::error_code ec;
  std::filesystem::create_directories(list_folder(), ec);
  std::ofstream out(list_folder() / name, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

/// One error name (5, LINK_DOWN, level 1) and its level (1, ERROR).
inline bool write_shipped_lists() {
  return write_list("errorlog_list.txt", "5,LINK_DOWN,1\n") && write_list("errorlevel_list.txt", "1,ERROR\n");
}

}  // namespace kvx::test
