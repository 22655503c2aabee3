// qmprefs: typed writes, reads, deletes, key lists, errors and exit codes,
// and watching the option store's announcement.
#include "pane/OptionStore.h"
#include "tests/platform/cf/PreferencesFixture.h"

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct Result {
  int status;
  std::string out, err;
};

// Runs qmprefs with args and collects its output.  A run that does not end
// within `seconds` is killed (status 137), so a tool that blocks fails the
// test instead of hanging the run.  `output`, when given, redirects standard
// output elsewhere (">/dev/full", ">&-").
Result qmprefs(const std::vector<std::string> &args, const std::string &dir, int seconds = 60,
               const std::string &output = "") {
  std::string outFile = dir + "/.out", errFile = dir + "/.err";
  std::string command = "timeout -s KILL " + std::to_string(seconds) + " " + QMPREFS;
  for (const std::string &a : args) command += " '" + a + "'";
  command += (output.empty() ? " >" + outFile : " " + output) + " 2>" + errFile;
  int status = std::system(command.c_str());
  Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, PreferencesFolder::slurp(outFile),
           PreferencesFolder::slurp(errFile)};
  std::filesystem::remove(outFile);
  std::filesystem::remove(errFile);
  return r;
}

using Qmprefs = PreferencesFolder;

TEST_F(Qmprefs, WritesEachTypeAndReadsItBack) {
  EXPECT_EQ(qmprefs({"write", "com.t", "flag", "-bool", "no"}, dir_).status, 0);
  EXPECT_EQ(qmprefs({"write", "com.t", "count", "-int", "-42"}, dir_).status, 0);
  EXPECT_EQ(qmprefs({"write", "com.t", "ratio", "-float", "0.25"}, dir_).status, 0);
  EXPECT_EQ(qmprefs({"write", "com.t", "name", "-string", "-int"}, dir_).status, 0);
  EXPECT_EQ(qmprefs({"write", "com.t", "plain", "caf\xc3\xa9"}, dir_).status, 0);
  EXPECT_EQ(qmprefs({"read", "com.t", "flag"}, dir_).out, "0\n");
  EXPECT_EQ(qmprefs({"read", "com.t", "count"}, dir_).out, "-42\n");
  EXPECT_EQ(qmprefs({"read", "com.t", "ratio"}, dir_).out, "0.25\n");
  EXPECT_EQ(qmprefs({"read", "com.t", "name"}, dir_).out, "-int\n");
  EXPECT_EQ(qmprefs({"read", "com.t", "plain"}, dir_).out, "caf\xc3\xa9\n");
  EXPECT_EQ(qmprefs({"keys", "com.t"}, dir_).out, "count\nflag\nname\nplain\nratio\n");
  // The stored types are the typed ones, as the option store sees them.
  quillmate_cf::forgetPreferencesForTesting();
  OptionStore store(CFSTR("com.t"));
  EXPECT_FALSE(store.readOption(CFSTR("flag")));
  EXPECT_TRUE(store.readOption(CFSTR("count"))) << "a number is not a boolean";
  // The whole domain reads as a property list.
  Result all = qmprefs({"read", "com.t"}, dir_);
  EXPECT_EQ(all.status, 0);
  EXPECT_NE(all.out.find("<key>flag</key>\n\t<false/>"), std::string::npos) << all.out;
}

TEST_F(Qmprefs, OutputThatCannotBeWrittenFails) {
  ASSERT_EQ(qmprefs({"write", "com.t", "k", "v"}, dir_).status, 0);
  for (const char *sink : {">/dev/full", ">&-"}) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"read", "com.t"}, {"read", "com.t", "k"}, {"keys", "com.t"},
          {"--help"}}) {
      Result r = qmprefs(args, dir_, 60, sink);
      EXPECT_EQ(r.status, 1) << args[0] << " " << sink;
      EXPECT_EQ(r.err.rfind("qmprefs: cannot write the output: ", 0), 0u)
          << args[0] << " " << sink << ": " << r.err;
    }
    // A write prints nothing, so it loses nothing.
    Result write = qmprefs({"write", "com.t", "k", "w"}, dir_, 60, sink);
    EXPECT_EQ(write.status, 0) << sink << ": " << write.err;
  }
  EXPECT_EQ(qmprefs({"read", "com.t", "k"}, dir_).out, "w\n");
}

TEST_F(Qmprefs, DeletesKeysAndDomains) {
  qmprefs({"write", "com.t", "a", "1"}, dir_);
  qmprefs({"write", "com.t", "b", "2"}, dir_);
  EXPECT_EQ(qmprefs({"delete", "com.t", "a"}, dir_).status, 0);
  EXPECT_EQ(qmprefs({"keys", "com.t"}, dir_).out, "b\n");
  EXPECT_EQ(qmprefs({"delete", "com.t"}, dir_).status, 0);
  Result gone = qmprefs({"read", "com.t"}, dir_);
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "qmprefs: domain com.t does not exist\n");
}

TEST_F(Qmprefs, ReportsTypedErrorsOnStandardError) {
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"read", "com.none"}, 1},
      {{"read", "com.none", "k"}, 1},
      {{"delete", "com.none", "k"}, 1},
      {{"keys", "com.none"}, 1},
      {{"write", "com.t", "k", "-bool", "maybe"}, 2},
      {{"write", "com.t", "k", "-int", "99999999999999999999"}, 2},
      {{"write", "com.t", "k", "-int", ""}, 2},
      {{"write", "com.t", "k", "-float", "nan"}, 2},
      {{"write", "com.t", "k", "-date", "x"}, 2},
      {{"write", "com.t", "k"}, 2},
      // A type without its value is not the text "-bool".
      {{"write", "com.t", "k", "-bool"}, 2},
      {{"write", "com.t", "k", "-boolean"}, 2},
      {{"write", "com.t", "k", "-int"}, 2},
      {{"write", "com.t", "k", "-integer"}, 2},
      {{"write", "com.t", "k", "-float"}, 2},
      {{"write", "com.t", "k", "-string"}, 2},
      {{"write", "com.t", "k", "-date"}, 2},
      {{"frobnicate", "com.t"}, 2},
      {{}, 2},
  };
  for (const Case &c : cases) {
    Result r = qmprefs(c.args, dir_);
    std::string line;
    for (const std::string &a : c.args) line += a + " ";
    EXPECT_EQ(r.status, c.status) << line;
    EXPECT_TRUE(r.out.empty()) << line;
    EXPECT_EQ(r.err.rfind("qmprefs: ", 0), 0u) << line << ": " << r.err;
  }
  EXPECT_FALSE(exists(path("com.t.plist"))) << "a refused write must not create the domain";
}

TEST_F(Qmprefs, AnUnparsableDomainIsReportedAndKeptAsideOnTheNextWrite) {
  const std::string file = path("com.t.plist");
  put(file, "<plist><dict><key>half");
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"read", "com.t"}, {"read", "com.t", "k"}, {"keys", "com.t"}}) {
    Result r = qmprefs(args, dir_);
    EXPECT_EQ(r.status, 1) << args.size();
    // The parser's own words sit between the two halves.
    EXPECT_EQ(r.err.rfind("qmprefs: " + file + " cannot be parsed (not well-formed XML", 0), 0u)
        << r.err;
    const std::string tail = "); it reads as empty and will be kept aside as " + file +
                             ".unreadable on the next write\n";
    EXPECT_TRUE(r.err.size() > tail.size() && r.err.ends_with(tail)) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  Result w = qmprefs({"write", "com.t", "k", "-bool", "yes"}, dir_);
  EXPECT_EQ(w.status, 0);
  EXPECT_EQ(w.err, "qmprefs: " + file + " could not be parsed; it was kept aside as " + file +
                       ".unreadable\n");
  EXPECT_EQ(slurp(file + ".unreadable"), "<plist><dict><key>half");
  EXPECT_EQ(qmprefs({"read", "com.t", "k"}, dir_).out, "1\n");
}

TEST_F(Qmprefs, AFifoADeviceOrAHugeFileIsRefusedWithoutBlockingOrExhaustingMemory) {
  const std::string file = path("com.t.plist");
  struct Case {
    const char *what;
    std::function<void()> make;
    std::string message;
  } cases[] = {
      {"fifo", [&] { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }, " is not a regular file"},
      {"device", [&] { ASSERT_EQ(symlink("/dev/zero", file.c_str()), 0); },
       " is not a regular file"},
      {"6 GiB", [&] {
         int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(ftruncate(fd, off_t{6} << 30), 0); // sparse: costs no disk
         close(fd);
       },
       " is larger than 8 MiB"},
  };
  for (const Case &c : cases) {
    c.make();
    struct stat before;
    ASSERT_EQ(lstat(file.c_str(), &before), 0);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"read", "com.t"}, {"read", "com.t", "k"},
          {"write", "com.t", "k", "-bool", "yes"}}) {
      Result r = qmprefs(args, dir_, 20);
      EXPECT_EQ(r.status, 1) << c.what << " " << args[0] << ": " << r.err;
      // A read says why the domain is empty; a write why it was not written.
      const std::string why = file + c.message;
      EXPECT_TRUE(r.err.starts_with("qmprefs: " + why) ||
                  r.err.starts_with("qmprefs: could not write the domain: " + why))
          << c.what << " " << args[0] << ": " << r.err;
    }
    struct stat after;
    ASSERT_EQ(lstat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << c.what << ": the file was replaced";
    EXPECT_EQ(after.st_size, before.st_size) << c.what;
    EXPECT_FALSE(exists(file + ".unreadable")) << c.what;
    ASSERT_EQ(unlink(file.c_str()), 0);
  }
}

TEST_F(Qmprefs, AWriteThatCannotBeStoredFails) {
  setenv("QUILLMATE_PREFERENCES_DIR", "/proc/qmprefs-cannot-exist", 1);
  Result r = qmprefs({"write", "com.t", "k", "-bool", "yes"}, dir_);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("qmprefs: could not write the domain: cannot create the folder "
                        "/proc/qmprefs-cannot-exist: ", 0),
            0u)
      << r.err;
}

// Reads one line from fd, waiting at most `seconds` for each piece.
std::string readLine(int fd, int seconds) {
  std::string line;
  char c;
  while (line.empty() || line.back() != '\n') {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, seconds * 1000) <= 0 || read(fd, &c, 1) != 1) break;
    line.push_back(c);
  }
  return line;
}

// Starts `qmprefs watch "Preferences Changed"` with standard output on
// `out` and standard error on `err` (descriptors of this process, closed
// here once the watcher has them).
pid_t startWatcher(int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  std::string tool = QMPREFS;
  char *argv[] = {tool.data(), const_cast<char *>("watch"),
                  const_cast<char *>("Preferences Changed"), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out);
  close(err);
  return pid;
}

// Pipes are made close-on-exec, so that the watcher holds only its ends.
void makePipe(int fds[2]) { ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0); }

TEST_F(Qmprefs, WatchPrintsTheOptionStoresAnnouncement) {
  int out[2], err[2];
  makePipe(out);
  makePipe(err);
  pid_t pid = startWatcher(out[1], err[1]);
  ASSERT_GT(pid, 0);
  // The watcher says when it listens; after that no post can be missed.
  EXPECT_EQ(readLine(err[0], 30), "qmprefs: watching \"Preferences Changed\"\n");
  OptionStore(kQuillmateApplicationID).announceChange();
  EXPECT_EQ(readLine(out[0], 30), "Preferences Changed\tcom.quillworks.preference.quillmate\n");
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  close(out[0]);
  close(err[0]);
}

TEST_F(Qmprefs, AWatcherWhoseOutputIsLostStops) {
  int err[2];
  makePipe(err);
  int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  pid_t pid = startWatcher(full, err[1]);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(readLine(err[0], 30), "qmprefs: watching \"Preferences Changed\"\n");
  OptionStore(kQuillmateApplicationID).announceChange();
  EXPECT_EQ(readLine(err[0], 30), "qmprefs: cannot write the output: No space left on device\n");
  int status = 0;
  for (int i = 0; i < 300 && waitpid(pid, &status, WNOHANG) == 0; ++i)
    usleep(100 * 1000);
  if (!WIFEXITED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  close(err[0]);
}

} // namespace
