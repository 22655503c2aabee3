// Preference domains shared by real processes: concurrent writers, writers
// killed in the middle of a synchronise, another user, and an outside client
// (Python's plistlib) whose values must survive our synchronise.
#include "platform/cf/PropertyListInternal.h"
#include "tests/platform/cf/PreferencesFixture.h"

#include <csignal>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

pid_t spawn(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

int run(const std::vector<std::string> &args) {
  pid_t pid = spawn(args);
  if (pid < 0) return -1;
  int status = waitFor(pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::string kWriter = QUILLMATE_PREFS_WRITER;

// The domain file as a dictionary (null when it does not parse).
CFDictionaryRef parseDomain(const std::string &file) {
  CFPropertyListRef plist =
      quillmate_cf::readPropertyList(PreferencesFolder::slurp(file), false, nullptr);
  if (plist && CFGetTypeID(plist) != CFDictionaryGetTypeID()) {
    CFRelease(plist);
    return nullptr;
  }
  return static_cast<CFDictionaryRef>(plist);
}

using PreferencesAcrossProcesses = PreferencesFolder;

TEST_F(PreferencesAcrossProcesses, ConcurrentWritersOfDifferentKeysLoseNothing) {
  const int writers = 3, keys = 200;
  std::vector<pid_t> pids;
  for (int w = 0; w < writers; ++w) {
    pids.push_back(spawn({kWriter, "keys", "com.example.shared", "w" + std::to_string(w) + "-",
                          std::to_string(keys)}));
    ASSERT_GT(pids.back(), 0);
  }
  for (pid_t pid : pids) {
    int status = waitFor(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  CFDictionaryRef domain = parseDomain(path("com.example.shared.plist"));
  ASSERT_NE(domain, nullptr);
  EXPECT_EQ(CFDictionaryGetCount(domain), writers * keys);
  for (int w = 0; w < writers; ++w) {
    for (int i = 0; i < keys; ++i) {
      std::string key = "w" + std::to_string(w) + "-" + std::to_string(i);
      CFStringRef k = CFStringCreateWithCString(nullptr, key.c_str(), kCFStringEncodingUTF8);
      auto value = static_cast<CFNumberRef>(CFDictionaryGetValue(domain, k));
      SInt32 v = -1;
      EXPECT_TRUE(value && CFNumberGetValue(value, kCFNumberSInt32Type, &v) && v == i) << key;
      CFRelease(k);
    }
  }
  CFRelease(domain);
}

TEST_F(PreferencesAcrossProcesses, AKilledWriterLeavesTheOldOrTheNewValue) {
  const std::string file = path("com.example.killed.plist");
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> pause(0, 20000);
  // The domain starts with counter0 = 0.
  ASSERT_EQ(run({kWriter, "keys", "com.example.killed", "counter", "1"}), 0);
  SInt64 last = 0;
  int advanced = 0;
  for (int round = 0; round < 300; ++round) {
    // Each writer starts from the last value seen, so values only grow.
    pid_t pid = spawn({kWriter, "loop", "com.example.killed", "counter0",
                       std::to_string(last + 1)});
    ASSERT_GT(pid, 0);
    usleep(static_cast<useconds_t>(pause(random)));
    kill(pid, SIGKILL);
    waitFor(pid);
    CFDictionaryRef domain = parseDomain(file);
    ASSERT_NE(domain, nullptr) << "round " << round << ": the domain no longer parses";
    auto value = static_cast<CFNumberRef>(CFDictionaryGetValue(domain, CFSTR("counter0")));
    ASSERT_NE(value, nullptr) << "round " << round;
    SInt64 v = -1;
    ASSERT_TRUE(CFNumberGetValue(value, kCFNumberSInt64Type, &v));
    EXPECT_GE(v, last) << "a value older than the last one seen came back";
    advanced += v > last;
    last = v;
    CFRelease(domain);
  }
  RecordProperty("rounds_with_progress", advanced);
  EXPECT_FALSE(exists(file + ".unreadable")) << "no kill may leave an unreadable domain";
  // The next synchronise clears the temporaries of the killed writers.
  ASSERT_EQ(run({kWriter, "bool", "com.example.killed", "done", "yes"}), 0);
  for (const auto &entry : std::filesystem::directory_iterator(dir_)) {
    std::string name = entry.path().filename();
    EXPECT_TRUE(name == "com.example.killed.plist" || name == "com.example.killed.plist.lock")
        << name;
  }
}

TEST_F(PreferencesAcrossProcesses, AnotherUserWithoutWriteAccessGetsFalseAndChangesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the writer as nobody";
  const std::string file = path("com.example.guarded.plist");
  put(file, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key><true/></dict></plist>");
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0); // nobody may enter and read, not write
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  const std::string before = slurp(file);
  int rc = run({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                kWriter, "bool", "com.example.guarded", "k", "no"});
  EXPECT_EQ(rc, 1) << "the writer must report the failed synchronise";
  EXPECT_EQ(slurp(file), before);
  EXPECT_FALSE(exists(file + ".lock")) << "nothing may be created in the folder";
}

TEST_F(PreferencesAcrossProcesses, ALinkToAFileWhoseFolderAUserMayNotWriteStaysALink) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the writer as nobody";
  // nobody's own preferences folder holds a link to a file in root's folder:
  // whether or not nobody may write the file itself, it cannot be replaced
  // atomically there, so the write fails and neither file nor link changes.
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const std::string mine = path("nobody"), theirs = path("root");
  ASSERT_EQ(mkdir(mine.c_str(), 0700), 0);
  ASSERT_EQ(chown(mine.c_str(), 65534, 65534), 0);
  ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
  const std::string target = theirs + "/prefs.plist", link = mine + "/com.example.linked.plist";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  setenv("QUILLMATE_PREFERENCES_DIR", mine.c_str(), 1);
  for (mode_t mode : {0644, 0666}) {
    put(target, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key><true/></dict></plist>");
    ASSERT_EQ(chmod(target.c_str(), mode), 0);
    const std::string before = slurp(target);
    int rc = run({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                  kWriter, "bool", "com.example.linked", "k", "no"});
    EXPECT_EQ(rc, 1) << std::oct << mode;
    EXPECT_EQ(slurp(target), before) << std::oct << mode;
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << std::oct << mode;
    for (const auto &entry : std::filesystem::directory_iterator(theirs)) {
      EXPECT_EQ(entry.path(), target) << "nothing else in root's folder";
    }
  }
  setenv("QUILLMATE_PREFERENCES_DIR", dir_.c_str(), 1);
}

TEST_F(PreferencesAcrossProcesses, PythonPlistlibValuesSurviveOurSynchronise) {
  const std::string file = path("com.example.python.plist");
  // Python writes a domain with every type, dates far from now included, then
  // later checks that everything but our boolean is unchanged.
  const std::string values =
      "import datetime, plistlib\n"
      "values = {\n"
      "  'old': datetime.datetime(1850, 3, 1, 12, 0, 1),\n"
      "  'far': datetime.datetime(2200, 12, 31, 23, 59, 59),\n"
      "  'list': [1, 'two', 3.5, True, b'\\x00\\xff'],\n"
      "  'nested': {'a': {'b': [], 'c': {}}, 'text': 'caf\\u00e9 <&> \\U0001F600'},\n"
      "  'blob': bytes(range(256)),\n"
      "  'int': -9223372036854775808, 'big': 18446744073709551615,\n"
      "  'real': 0.1, 'tiny': 5e-324, 'empty': '',\n"
      "}\n";
  const std::string writer = "python3 -c \"" + values +
                             "plistlib.dump(values, open('" + file + "', 'wb'))\"";
  // Quote-safe: the script uses only single quotes.
  ASSERT_EQ(std::system(("/usr/bin/" + writer).c_str()), 0);
  CFPreferencesSetAppValue(CFSTR("IncludeLineFeed"), kCFBooleanFalse, CFSTR("com.example.python"));
  ASSERT_TRUE(CFPreferencesAppSynchronize(CFSTR("com.example.python")));
  const std::string checker =
      "/usr/bin/python3 -c \"" + values +
      "got = plistlib.load(open('" + file + "', 'rb'))\n"
      "assert got.pop('IncludeLineFeed') is False, 'boolean'\n"
      "assert got == values, (got, values)\n\"";
  EXPECT_EQ(std::system(checker.c_str()), 0);
}

} // namespace
