// Processes killed part-way through an operation: checks run in a fresh
// child process, and an operation run once under ptrace, killed before the
// system call a test picks; files with resource forks made and read back,
// and folders listed through the layer, for those checks.
#ifndef QUILLMATE_TESTS_FILEMANAGER_KILLSUPPORT_H
#define QUILLMATE_TESTS_FILEMANAGER_KILLSUPPORT_H

#include "FileManagerTestSupport.h"

#include <csignal>
#include <functional>
#include <random>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fmtest {

/// Runs `body` in a child process (a fork of a test process whose node table
/// never met the files: as fresh as a new process) and answers its exit code.
inline int inChild(const std::function<int()> &body) {
  pid_t pid = fork();
  if (pid == 0)
    _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

/// Whether this process may trace a child of its own (a container's
/// seccomp profile may forbid ptrace).
inline bool mayTrace() {
  pid_t pid = fork();
  if (pid == 0) {
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0)
      ::raise(SIGSTOP);
    _exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const bool stopped = WIFSTOPPED(status);
  if (stopped) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  return stopped;
}

/// Runs `prepare` and then `act` once in a child that, from `act` on, stops
/// at each system call (ptrace), and kills it (SIGKILL) before the call that
/// `killBefore` picks (given its number and its count from 1).  `act`
/// answers the child's exit code (0: it worked).  `finished`: it picked
/// none and `act` ran to its end with 0; `calls`: how many calls it made.
inline void runUnderTrace(const std::function<bool()> &prepare, const std::function<int()> &act,
                          const std::function<bool(long, int)> &killBefore, bool &finished,
                          int &calls) {
  finished = false;
  calls = 0;
  pid_t pid = fork();
  if (pid == 0) {
    if (!prepare() || ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || ::raise(SIGSTOP) != 0)
      _exit(1);
    _exit(act());
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSTOPPED(status)) << status;
  ASSERT_EQ(::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                     static_cast<long>(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL)),
            0);
  int signal = 0;
  for (;;) {
    ASSERT_EQ(::ptrace(PTRACE_SYSCALL, pid, nullptr, static_cast<long>(signal)), 0);
    signal = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status)) {
      ASSERT_EQ(WEXITSTATUS(status), 0);
      finished = true;
      return;
    }
    ASSERT_TRUE(WIFSTOPPED(status)) << status;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      signal = WSTOPSIG(status); // delivered on resuming
      continue;
    }
    struct __ptrace_syscall_info info;
    ASSERT_GT(::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info), 0);
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY &&
        killBefore(static_cast<long>(info.entry.nr), ++calls)) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return;
    }
  }
}

/// Runs `act` in a loop in a child and kills it (SIGKILL) `delayMicroseconds`
/// after it is ready (`prepare` done); false when the child stopped by itself.
inline bool killAtMoment(const std::function<bool()> &prepare, const std::function<void()> &act,
                         int delayMicroseconds) {
  int ready[2];
  if (::pipe(ready) != 0)
    return false;
  pid_t pid = fork();
  if (pid == 0) {
    ::close(ready[0]);
    char one = 1;
    if (!prepare() || ::write(ready[1], &one, 1) != 1)
      _exit(1);
    for (;;)
      act();
  }
  ::close(ready[1]);
  char byte = 0;
  const bool started = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (started)
    ::usleep(static_cast<useconds_t>(delayMicroseconds));
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return started && WIFSIGNALED(status);
}

/// Kills, `kills` times, a child that runs `once` in a loop (after
/// `prepare`; false: it failed, and the child stops), each time at a random
/// moment up to `maxDelayMicroseconds` after it is ready, the delays drawn
/// from the fixed `seed`; `setUp` runs before each kill and `check` (given
/// the kill's number) after it.
inline void killAtRandomMoments(int kills, unsigned seed, int maxDelayMicroseconds,
                                const std::function<void()> &setUp,
                                const std::function<bool()> &prepare,
                                const std::function<bool()> &once,
                                const std::function<void(int)> &check) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMicroseconds(0, maxDelayMicroseconds);
  for (int kill = 0; kill < kills; ++kill) {
    ASSERT_NO_FATAL_FAILURE(setUp());
    ASSERT_TRUE(killAtMoment(
        prepare,
        [&] {
          if (!once())
            _exit(3);
        },
        delayMicroseconds(random)))
        << "the child stopped by itself";
    check(kill);
  }
}

/// The same, deterministically: one round of `once` (after `prepare`) runs
/// under ptrace, killed before its first system call, then before its
/// second, and so on to its end.  Answers the round's number of system
/// calls (0 after a fatal failure).
inline int killBeforeEachCall(const std::function<void()> &setUp,
                              const std::function<bool()> &prepare,
                              const std::function<bool()> &once,
                              const std::function<void(int)> &check) {
  bool finished = false;
  int calls = 0;
  for (int n = 1; !finished; ++n) {
    setUp();
    if (::testing::Test::HasFatalFailure())
      return 0;
    runUnderTrace(prepare, [&] { return once() ? 0 : 2; },
                  [&](long, int call) { return call == n; }, finished, calls);
    if (::testing::Test::HasFatalFailure())
      return 0;
    check(n);
  }
  return calls;
}

inline struct statx statxOf(int dirfd, const char *name) {
  struct statx stx {};
  quillmate::fm::sys::statxAt(dirfd, name, STATX_INO | STATX_BTIME | STATX_MODE | STATX_TYPE, &stx);
  return stx;
}

inline bool giveFork(int dir, const char *name, const std::string &fork) {
  quillmate::fm::sidecar::File f;
  return quillmate::fm::sidecar::create(dir, name, statxOf(dir, name), nullptr, fork.data(), fork.size(), false,
                         f) == noErr;
}

/// The fork of `name` in `dir` as its attached `._` file holds it.
inline std::string forkOf(int dir, const char *name) {
  quillmate::fm::sidecar::File f;
  quillmate::fm::sidecar::Found found;
  if (quillmate::fm::sidecar::open(dir, name, statxOf(dir, name), O_RDONLY, f, found) != noErr)
    return "<error>";
  if (found != quillmate::fm::sidecar::Found::Attached)
    return found == quillmate::fm::sidecar::Found::None ? "<none>" : "<not its own>";
  std::string bytes(f.fork()->length, '\0');
  quillmate::fm::sys::pread(f.fd.get(), bytes.data(), bytes.size(), f.fork()->offset);
  return bytes;
}

/// Lists `folder` through the layer, asking for node IDs, which reads each
/// file's record (and settles an exchange killed part-way); the names.
inline std::vector<std::string> listThroughTheLayer(const std::string &folder) {
  std::vector<std::string> out;
  FSRef ref;
  FSIterator it;
  if (refFor(folder, ref) != noErr || FSOpenIterator(&ref, kFSIterateFlat, &it) != noErr)
    return {"<unlistable>"};
  for (;;) {
    ItemCount n = 0;
    FSCatalogInfo info;
    HFSUniStr255 name;
    const OSErr err =
        FSGetCatalogInfoBulk(it, 1, &n, nullptr, kFSCatInfoNodeID, &info, nullptr, nullptr, &name);
    if (n == 1) {
      std::string s;
      for (UniCharCount c = 0; c < name.length; ++c)
        s += char(name.unicode[c]);
      out.push_back(s);
    }
    if (err != noErr)
      break;
  }
  FSCloseIterator(it);
  return out;
}

} // namespace fmtest

#endif
