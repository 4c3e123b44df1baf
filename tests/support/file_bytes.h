// Whole files as bytes or as text, for tests that look at what a program
// wrote, or damage a file and put it back. Header only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kvx::test {

/// The file's bytes; none when it cannot be read.
inline std::vector<std::uint8_t> file_bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

/// The file's bytes as a string, unchanged (CR LF stays); "" when it cannot be read.
inline std::string file_text(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

/// Replaces the file's contents with `bytes`.
inline void put_file(const std::filesystem::path& p, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace kvx::test
