// A session bus of a test's own: a dbus-daemon started for the test, named by
// DBUS_SESSION_BUS_ADDRESS while it lives, so that no test reaches a user's
// bus.  Also used by the benchmark.
#ifndef QUILLMATE_TESTS_PLATFORM_CF_NOTIFY_PRIVATEBUS_H
#define QUILLMATE_TESTS_PLATFORM_CF_NOTIFY_PRIVATEBUS_H

#include "platform/cf/notify/NotificationTesting.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace quillmate::testing {

// Runs `argv` with its standard output on a pipe (and its standard error on
// /dev/null when `quiet`); returns the child's pid (or -1) and the read end in
// `out`.
inline pid_t spawnWithOutput(const std::vector<std::string>& argv, int& out, bool quiet = false) {
  int fds[2];
  out = -1;
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return -1;
  }
  out = fds[0];
  return pid;
}

// Reads one line (without its newline); false at end of file.
inline bool readLine(int fd, std::string& line) {
  line.clear();
  char c;
  for (;;) {
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') return true;
    line += c;
  }
}

class PrivateBus {
 public:
  // Unless `forgetCenter` is false, the center drops its connection and
  // observers, so that it starts afresh on this bus.
  explicit PrivateBus(bool forgetCenter = true) {
    pid_ = spawnWithOutput({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                            "--print-address"},
                           output_, /*quiet=*/true);
    if (pid_ > 0 && readLine(output_, address_) && !address_.empty()) {
      setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    } else {
      address_.clear();
    }
    if (forgetCenter) quillmate::notify::resetDistributedCenterForTesting();
  }

  ~PrivateBus() {
    quillmate::notify::resetDistributedCenterForTesting();
    stop();
    if (output_ >= 0) close(output_);
    if (!address_.empty()) unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }

  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool running() const { return pid_ > 0 && !address_.empty(); }
  const std::string& address() const { return address_; }
  pid_t pid() const { return pid_; }

  // Ends the daemon now (its clients see the connection close).
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);  // in case a test stopped it
    kill(pid_, SIGTERM);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string address_;
};

}  // namespace quillmate::testing

#endif
