// hbautil at a real console: the program runs on a pseudo-terminal, so that
// its output goes to a terminal (the screen is cleared) and what is typed is
// echoed and turned into lines by the terminal's own line discipline.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>

#include "tests/fakes/temp_host.h"
#include "tests/paramutil/session_registry.h"

namespace kvx::test {
namespace {

const std::string clear_screen = "\033[H\033[2J";

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

// The parent's side of the terminal, with the child that runs on it.
class terminal_session {
 public:
  explicit terminal_session(const std::string& program) {
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~terminal_session() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  terminal_session(const terminal_session&) = delete;
  terminal_session& operator=(const terminal_session&) = delete;

  bool started() const { return pid_ > 0 && master_ >= 0; }

  /// Reads until the screen so far holds `count` copies of `text` (or the
  /// program closes the terminal, or 10 s pass); true when it did.
  bool read_until(const std::string& text, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count_of(screen_, text) < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return false;
    }
    return true;
  }
  /// Reads until the program closes the terminal; gives its exit status.
  int finish() {
    while (read_some(10000)) {
    }
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  /// Types the keys; a line is ended with "\r" as the Enter key sends it.
  void type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  const std::string& screen() const { return screen_; }

 private:
  bool read_some(int timeout_ms) {
    pollfd p{master_, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeout_ms);
    if (ready <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;  // EIO once the program has ended
    screen_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  bool reaped_ = false;
  std::string screen_;
};

TEST(Terminal, ClearsTheScreenAndTakesTypedLines) {
  temp_host host;
  session_registry reg;
  reg.add_key(service_key);
  reg.put_text("Adapter7", "500008a00030014e");

  terminal_session t(built_program("paramutil/hbautil").string());
  ASSERT_TRUE(t.started());
  ASSERT_TRUE(t.read_until("Enter number => ", 1)) << t.screen();
  EXPECT_EQ(t.screen().rfind(clear_screen, 0), 0u) << "the screen is cleared before the banner";

  t.type("1\r");
  ASSERT_TRUE(t.read_until("Hit Any Key", 1)) << t.screen();
  EXPECT_NE(t.screen().find("Enter number => 1\r\n"), std::string::npos) << "the terminal echoes the typed line";
  EXPECT_NE(t.screen().find("        7       -  500008a00030014e\r\n"), std::string::npos);

  t.type("\r");
  ASSERT_TRUE(t.read_until("Enter number => ", 2)) << t.screen();
  EXPECT_EQ(count_of(t.screen(), clear_screen), 2u) << "the main menu clears the screen each time";
  const std::size_t second_clear = t.screen().rfind(clear_screen);
  EXPECT_LT(second_clear, t.screen().rfind(" Velmora HBA Utility"));

  t.type("99\r");
  EXPECT_EQ(t.finish(), 0);
  EXPECT_NE(t.screen().find("\r\nIt is necessary to reboot for validating changed parameters.\r\n"), std::string::npos)
      << t.screen();
}

TEST(Terminal, EndOfInputAtTheConsoleEndsTheProgram) {
  temp_host host;
  terminal_session t(built_program("paramutil/hbautil").string());
  ASSERT_TRUE(t.started());
  ASSERT_TRUE(t.read_until("Enter number => ", 1)) << t.screen();
  t.type("\x04");  // Ctrl-D at the start of a line: the terminal's end of input
  EXPECT_EQ(t.finish(), 1);
  EXPECT_EQ(t.screen().find("It is necessary to reboot"), std::string::npos);
}

}  // namespace
}  // namespace kvx::test
