// Preference domains in one process: pending sets, synchronise, merging with
// what others wrote, unreadable files kept aside, folders that refuse writes.
#include "tests/platform/cf/PreferencesFixture.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

const CFStringRef kDomain = CFSTR("com.example.tests");

CFNumberRef number(SInt32 v) { return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v); }

std::string plist(const std::string &body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body +
         "\n</plist>\n";
}

using CFPreferences = PreferencesFolder;

TEST_F(CFPreferences, AMissingDomainReadsEmptyAndIsNotCreatedByReading) {
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("k"), kDomain), nullptr);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_FALSE(exists(path("com.example.tests.plist")));
  EXPECT_EQ(CFPreferencesCopyKeyList(kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost),
            nullptr);
}

TEST_F(CFPreferences, SetsStayInMemoryUntilSynchronised) {
  CFPreferencesSetAppValue(CFSTR("OpenFile"), kCFBooleanFalse, kDomain);
  EXPECT_FALSE(exists(path("com.example.tests.plist")));
  CFPropertyListRef v = CFPreferencesCopyAppValue(CFSTR("OpenFile"), kDomain);
  EXPECT_EQ(v, kCFBooleanFalse) << "this process sees its own pending set";
  CFRelease(v);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(slurp(path("com.example.tests.plist")),
            plist("<dict>\n\t<key>OpenFile</key>\n\t<false/>\n</dict>"));
  // A fresh process reads it back.
  quillmate_cf::forgetPreferencesForTesting();
  v = CFPreferencesCopyAppValue(CFSTR("OpenFile"), kDomain);
  EXPECT_EQ(v, kCFBooleanFalse);
  CFRelease(v);
  // The lock lives in a file of its own.
  EXPECT_TRUE(exists(path("com.example.tests.plist.lock")));
}

TEST_F(CFPreferences, ANullValueRemovesTheKey) {
  CFPreferencesSetAppValue(CFSTR("a"), kCFBooleanTrue, kDomain);
  CFPreferencesSetAppValue(CFSTR("b"), kCFBooleanTrue, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  CFPreferencesSetAppValue(CFSTR("a"), nullptr, kDomain);
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("a"), kDomain), nullptr);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  quillmate_cf::forgetPreferencesForTesting();
  CFArrayRef keys =
      CFPreferencesCopyKeyList(kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  ASSERT_NE(keys, nullptr);
  ASSERT_EQ(CFArrayGetCount(keys), 1);
  EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(keys, 0), CFSTR("b")));
  CFRelease(keys);
}

TEST_F(CFPreferences, SynchroniseMergesWithWhatOthersWroteAndPicksItUp) {
  CFPreferencesSetAppValue(CFSTR("mine"), kCFBooleanTrue, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  // Another process replaces the file with a key of its own and a new value.
  put(path("com.example.tests.plist"),
      plist("<dict><key>mine</key><false/><key>theirs</key><integer>7</integer></dict>"));
  CFPropertyListRef cached = CFPreferencesCopyAppValue(CFSTR("theirs"), kDomain);
  EXPECT_EQ(cached, nullptr) << "reads come from this process's copy until synchronised";
  CFPreferencesSetAppValue(CFSTR("added"), kCFBooleanTrue, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  CFPropertyListRef theirs = CFPreferencesCopyAppValue(CFSTR("theirs"), kDomain);
  CFNumberRef seven = number(7);
  EXPECT_TRUE(CFEqual(theirs, seven));
  CFPropertyListRef mine = CFPreferencesCopyAppValue(CFSTR("mine"), kDomain);
  EXPECT_EQ(mine, kCFBooleanFalse) << "a key this process did not touch keeps the other's value";
  CFRelease(theirs);
  CFRelease(seven);
  CFRelease(mine);
  // A synchronise with nothing pending picks up changes too.
  put(path("com.example.tests.plist"), plist("<dict><key>only</key><true/></dict>"));
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("added"), kDomain), nullptr);
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("only"), kDomain), kCFBooleanTrue);
}

TEST_F(CFPreferences, AnUnreadableFileReadsEmptyAndIsKeptAsideBeforeItIsReplaced) {
  const std::string file = path("com.example.tests.plist");
  const std::string garbage = "<plist><dict><key>half";
  put(file, garbage);
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("half"), kDomain), nullptr);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain)) << "nothing pending: nothing written";
  EXPECT_EQ(slurp(file), garbage);
  EXPECT_FALSE(exists(file + ".unreadable"));

  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(slurp(file + ".unreadable"), garbage);
  EXPECT_EQ(slurp(file), plist("<dict>\n\t<key>k</key>\n\t<true/>\n</dict>"));

  // A second bad file does not take the first one's place.
  put(file, plist("<array/>")); // parses, but a domain must be a dictionary
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanFalse, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(slurp(file + ".unreadable"), garbage);
  EXPECT_EQ(slurp(file + ".unreadable-1"), plist("<array/>"));
}

TEST_F(CFPreferences, AFileThatCannotBeReadIsNeverWrittenOver) {
  // A folder where the domain file should be: it exists, but reading fails.
  const std::string file = path("com.example.tests.plist");
  ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
  put(file + "/inside", "keep");
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, kDomain);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(slurp(file + "/inside"), "keep");
}

TEST_F(CFPreferences, AFolderThatRefusesWritesMakesSynchroniseFailAndNothingElse) {
  // The folder's place is taken by a file, so it can never be created.
  put(path("blocker"), "x");
  setenv("QUILLMATE_PREFERENCES_DIR", path("blocker/prefs").c_str(), 1);
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanFalse, kDomain);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  CFPropertyListRef v = CFPreferencesCopyAppValue(CFSTR("k"), kDomain);
  EXPECT_EQ(v, kCFBooleanFalse) << "the set stays pending";
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(slurp(path("blocker")), "x");
}

TEST_F(CFPreferences, PendingChangesSurviveAFailedSynchronise) {
  const std::string file = path("com.example.tests.plist");
  ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanFalse, kDomain);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  ASSERT_EQ(rmdir(file.c_str()), 0);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(slurp(file), plist("<dict>\n\t<key>k</key>\n\t<false/>\n</dict>"));
}

TEST_F(CFPreferences, TheLockFileIsNeverFollowed) {
  // A link in the lock file's place must not make a write create its target.
  ASSERT_EQ(mkdir(path("elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(symlink(path("elsewhere/planted").c_str(), path("com.example.tests.plist.lock").c_str()),
            0);
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, kDomain);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_FALSE(exists(path("elsewhere/planted")));
  EXPECT_FALSE(exists(path("com.example.tests.plist")));
  EXPECT_TRUE(std::filesystem::is_symlink(path("com.example.tests.plist.lock")));
}

// The domain file as a link into a folder of managed dotfiles.
class CFPreferencesLinkedDomain : public PreferencesFolder {
public:
  void SetUp() override {
    PreferencesFolder::SetUp();
    ASSERT_EQ(mkdir(path("dotfiles").c_str(), 0700), 0);
    link = path("com.example.tests.plist");
    target = path("dotfiles/prefs.plist");
  }
  // Every name in the folder, sorted; "dotfiles/..." for the inner folder.
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir_)) {
      all.push_back(e.path().lexically_relative(dir_).string());
    }
    std::sort(all.begin(), all.end());
    return all;
  }
  std::string link, target;
};

TEST_F(CFPreferencesLinkedDomain, AWriteUpdatesTheTargetInPlaceOfTheLinkAndKeepsItsMode) {
  put(target, plist("<dict><key>old</key><true/></dict>"));
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  // Relative, through a second link: a chain is followed to its end.
  ASSERT_EQ(symlink("prefs.plist", path("dotfiles/current.plist").c_str()), 0);
  ASSERT_EQ(symlink("dotfiles/current.plist", link.c_str()), 0);
  struct stat before;
  ASSERT_EQ(stat(target.c_str(), &before), 0);
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanFalse, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_TRUE(std::filesystem::is_symlink(path("dotfiles/current.plist")));
  EXPECT_EQ(slurp(target), plist("<dict>\n\t<key>k</key>\n\t<false/>\n\t<key>old</key>\n\t<true/>\n</dict>"));
  struct stat after;
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(after.st_ino, before.st_ino) << "replaced whole by a rename, not rewritten in place";
  // The lock stays beside the name the program uses; no temporary is left.
  EXPECT_EQ(names(), (std::vector<std::string>{"com.example.tests.plist", "com.example.tests.plist.lock",
                                               "dotfiles", "dotfiles/current.plist",
                                               "dotfiles/prefs.plist"}));
  quillmate_cf::forgetPreferencesForTesting();
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("k"), kDomain), kCFBooleanFalse);
}

TEST_F(CFPreferencesLinkedDomain, AnUnparsableTargetIsKeptAsideWithItsOwnBytes) {
  put(target, "<plist><dict><key>half");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(slurp(link + ".unreadable"), "<plist><dict><key>half");
  EXPECT_FALSE(std::filesystem::is_symlink(link + ".unreadable"));
  EXPECT_EQ(slurp(target), plist("<dict>\n\t<key>k</key>\n\t<true/>\n</dict>"));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
}

TEST_F(CFPreferencesLinkedDomain, ADanglingOrLoopingLinkIsNotWrittenThrough) {
  // A link to a missing file reads as a missing domain; a write creates
  // nothing at the link's target and leaves the link alone.
  ASSERT_EQ(symlink("dotfiles/missing/prefs.plist", link.c_str()), 0);
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("k"), kDomain), nullptr);
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, kDomain);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  ASSERT_EQ(mkdir(path("dotfiles/missing").c_str(), 0700), 0);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_FALSE(exists(path("dotfiles/missing/prefs.plist")));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink("com.example.tests.plist", link.c_str()), 0);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  // Once the target exists, the changes still pending are written there.
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink("dotfiles/missing/prefs.plist", link.c_str()), 0);
  put(path("dotfiles/missing/prefs.plist"), plist("<dict/>"));
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(slurp(path("dotfiles/missing/prefs.plist")),
            plist("<dict>\n\t<key>k</key>\n\t<true/>\n</dict>"));
}

TEST_F(CFPreferences, AStuckLockHolderMakesSynchroniseGiveUpNotHang) {
  quillmate_cf::setLockWaitForTesting(50);
  const std::string lockFile = path("com.example.tests.plist.lock");
  int holder = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0); // as a writer stopped mid-write would
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanFalse, kDomain);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_FALSE(exists(path("com.example.tests.plist")));
  close(holder);
  quillmate_cf::setLockWaitForTesting(5000);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain)) << "the set stayed pending";
  EXPECT_TRUE(exists(path("com.example.tests.plist")));
}

TEST_F(CFPreferences, DomainNamesThatAreNotFileNamesAreRefused) {
  const CFStringRef bad[] = {CFSTR(""), CFSTR("."), CFSTR(".."), CFSTR("../escape"),
                             CFSTR("a/b")};
  for (CFStringRef domain : bad) {
    CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, domain);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("k"), domain), nullptr);
    EXPECT_FALSE(CFPreferencesAppSynchronize(domain));
  }
  EXPECT_FALSE(CFPreferencesAppSynchronize(nullptr));
  EXPECT_FALSE(exists(dir_ + "/../escape.plist"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(CFPreferences, UnstorableValuesAreRefusedWithoutBlockingOthers) {
  const UniChar control[] = {'x', 0x07};
  CFStringRef bell = CFStringCreateWithCharacters(nullptr, control, 2);
  // A dictionary with a number for a key has no property-list form.
  SInt32 one = 1;
  CFNumberRef numberKey = CFNumberCreate(nullptr, kCFNumberSInt32Type, &one);
  const void *keys[] = {numberKey};
  const void *values[] = {kCFBooleanTrue};
  CFDictionaryRef pointers = CFDictionaryCreate(nullptr, keys, values, 1,
                                                &kCFTypeDictionaryKeyCallBacks,
                                                &kCFTypeDictionaryValueCallBacks);
  CFRelease(numberKey);
  CFPreferencesSetAppValue(CFSTR("bell"), bell, kDomain);
  CFPreferencesSetAppValue(CFSTR("pointers"), pointers, kDomain);
  CFPreferencesSetAppValue(CFSTR("good"), kCFBooleanTrue, kDomain);
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("bell"), kDomain), nullptr);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain)) << "a refused set is reported";
  quillmate_cf::forgetPreferencesForTesting();
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("good"), kDomain), kCFBooleanTrue);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  CFRelease(bell);
  CFRelease(pointers);
}

TEST_F(CFPreferences, StoresACopyOfMutableValues) {
  CFMutableArrayRef list = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  CFArrayAppendValue(list, CFSTR("one"));
  CFPreferencesSetAppValue(CFSTR("list"), list, kDomain);
  CFArrayAppendValue(list, CFSTR("two"));
  CFPropertyListRef stored = CFPreferencesCopyAppValue(CFSTR("list"), kDomain);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(stored)), 1);
  CFRelease(stored);
  CFRelease(list);
}

TEST_F(CFPreferences, KeepsTheFilePermissionsAndRemovesNoOtherFiles) {
  const std::string file = path("com.example.tests.plist");
  put(file, plist("<dict/>"));
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  put(path("com.example.tests.plist.keep"), "other");
  put(path("com.example.tests.plist.backup"), "six letters, like a temporary of old");
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(slurp(path("com.example.tests.plist.keep")), "other");
  EXPECT_TRUE(exists(path("com.example.tests.plist.backup")));
}

TEST_F(CFPreferences, RemovesTemporariesLeftByDeadWriters) {
  put(path("com.example.tests.plist.partial-Ab12Cd"), "half written");
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_FALSE(exists(path("com.example.tests.plist.partial-Ab12Cd")));
}

TEST_F(CFPreferences, KeyListsAndMultipleValues) {
  CFPreferencesSetAppValue(CFSTR("b"), kCFBooleanTrue, kDomain);
  CFPreferencesSetAppValue(CFSTR("a"), kCFBooleanFalse, kDomain);
  CFArrayRef keys =
      CFPreferencesCopyKeyList(kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  ASSERT_EQ(CFArrayGetCount(keys), 2);
  EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(keys, 0), CFSTR("a")));
  EXPECT_EQ(CFPreferencesCopyKeyList(kDomain, kCFPreferencesCurrentUser,
                                     kCFPreferencesCurrentHost),
            nullptr);
  CFDictionaryRef all =
      CFPreferencesCopyMultiple(nullptr, kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  EXPECT_EQ(CFDictionaryGetCount(all), 2);
  const void *wanted[] = {CFSTR("a"), CFSTR("missing")};
  CFArrayRef some = CFArrayCreate(nullptr, wanted, 2, &kCFTypeArrayCallBacks);
  CFDictionaryRef picked =
      CFPreferencesCopyMultiple(some, kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  EXPECT_EQ(CFDictionaryGetCount(picked), 1);
  EXPECT_EQ(CFDictionaryGetValue(picked, CFSTR("a")), kCFBooleanFalse);
  for (CFTypeRef o : {static_cast<CFTypeRef>(keys), static_cast<CFTypeRef>(all),
                      static_cast<CFTypeRef>(some), static_cast<CFTypeRef>(picked)}) {
    CFRelease(o);
  }
}

TEST_F(CFPreferences, ThreadsOfOneProcessMaySetAndSynchroniseAtOnce) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
        CFStringRef key = CFStringCreateWithCString(nullptr, name.c_str(), kCFStringEncodingUTF8);
        CFPreferencesSetAppValue(key, kCFBooleanTrue, kDomain);
        CFPreferencesAppSynchronize(kDomain);
        CFRelease(CFPreferencesCopyAppValue(key, kDomain));
        CFRelease(key);
      }
    });
  }
  for (auto &thread : threads) thread.join();
  quillmate_cf::forgetPreferencesForTesting();
  CFArrayRef keys =
      CFPreferencesCopyKeyList(kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  EXPECT_EQ(CFArrayGetCount(keys), 200);
  CFRelease(keys);
}

TEST_F(CFPreferences, TheCurrentApplicationIsTheProgramsName) {
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, kCFPreferencesCurrentApplication);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
  EXPECT_TRUE(exists(path(std::string(program_invocation_short_name) + ".plist")));
}

TEST(CFPreferencesFolder, FollowsTheEnvironment) {
  // Which folder: the override, then XDG_CONFIG_HOME, then HOME.
  const std::string root = "/tmp/quillmate-prefs-env-" + std::to_string(getpid());
  unsetenv("QUILLMATE_PREFERENCES_DIR");
  setenv("XDG_CONFIG_HOME", (root + "/xdg").c_str(), 1);
  quillmate_cf::forgetPreferencesForTesting();
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_TRUE(std::filesystem::exists(root + "/xdg/quillmate/preferences/com.example.tests.plist"));
  // A relative XDG_CONFIG_HOME is ignored, as the XDG rules say.
  const char *oldHome = getenv("HOME");
  std::string savedHome = oldHome ? oldHome : "";
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", (root + "/home").c_str(), 1);
  CFPreferencesSetAppValue(CFSTR("k"), kCFBooleanTrue, kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_TRUE(std::filesystem::exists(
      root + "/home/.config/quillmate/preferences/com.example.tests.plist"));
  unsetenv("XDG_CONFIG_HOME");
  if (oldHome) setenv("HOME", savedHome.c_str(), 1);
  quillmate_cf::forgetPreferencesForTesting();
  std::filesystem::remove_all(root);
}

} // namespace
