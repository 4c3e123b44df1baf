// A console for driving hbautil's dialogs in-process: standard input from a
// string, standard output collected into a string.
#pragma once

#include <cstdio>
#include <string>

namespace kvx::test {

class paramutil_console {
 public:
  explicit paramutil_console(const std::string& input);
  ~paramutil_console();
  paramutil_console(const paramutil_console&) = delete;
  paramutil_console& operator=(const paramutil_console&) = delete;

  std::FILE* in() const { return in_; }
  std::FILE* out() const { return out_; }
  /// Everything written to out() so far.
  std::string output();

 private:
  std::string input_;
  std::FILE* in_ = nullptr;
  std::FILE* out_ = nullptr;
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kvx::test
