// runline: runs a command line exactly as given, for the Wine checks.
//   runline "COMMAND LINE"
// Wine builds a program's command line from its Unix arguments, quoting the
// ones with blanks, so a program cannot be given a line such as
// `setup.exe /S /D=C:\a  b` (two blanks, no quotes) by `wine` alone; this
// probe hands its single argument to CreateProcessW as the command line.
// Exit status: the program's, or 255 when it could not be started (the
// system error is printed on standard error) or the arguments are wrong.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: runline \"COMMAND LINE\"\n", stderr);
    return 255;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // Wine's process start fails now and then with ERROR_INTERNAL_ERROR on a
  // busy host, saying nothing about the command: tried again, as the
  // suite's own programs do.
  for (int attempt = 1;; ++attempt) {
    // CreateProcessW may write to the command line: a copy of its own.
    std::vector<wchar_t> line(argv[1], argv[1] + std::wcslen(argv[1]) + 1);
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) break;
    const DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
      std::fprintf(stderr, "runline: CreateProcessW failed: %lu\n", error);
      return 255;
    }
    Sleep(250);
  }
  CloseHandle(info.hThread);
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD status = 255;
  const bool got = GetExitCodeProcess(info.hProcess, &status) != 0;
  CloseHandle(info.hProcess);
  return got ? static_cast<int>(status) : 255;
}
