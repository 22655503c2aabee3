// Rename records: an object that a killed process left under a temporary
// name goes back to its old name when a listing, a lookup or an item count
// meets it, unless the process that renamed it still runs, the record is
// another object's, or its old name is taken everywhere; a name of eight hex
// digits given on purpose stays once its process goes on to another object
// or exits.
#include "platform/filemanager/RenameRecord.h"

#include "FileManagerTestSupport.h"
#include "KillSupport.h"

#include <algorithm>
#include <csignal>
#include <set>
#include <sys/xattr.h>

namespace fm = quillmate::fm;
using namespace fmtest;

namespace {

/// The names in `folder`, sorted, space-separated ("-" for none).
std::string namesIn(const std::string &folder) {
  std::string out;
  for (const std::string &n : entriesOf(folder))
    out += (out.empty() ? "" : " ") + n;
  return out.empty() ? "-" : out;
}

bool hasRecord(const std::string &path) {
  return ::lgetxattr(path.c_str(), fm::kRenameAttribute, nullptr, 0) >= 0;
}

/// The path of `folder` from its volume's mount point, as the layer records it.
std::string pathInVolume(const std::string &folder) {
  FSRef ref, root;
  FSCatalogInfo info;
  if (refFor(folder, ref) != noErr ||
      FSGetCatalogInfo(&ref, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr) != noErr ||
      FSGetVolumeInfo(info.volume, 0, nullptr, kFSVolInfoNone, nullptr, nullptr, &root) != noErr)
    return "<error>";
  const std::string mount = pathOf(root);
  return folder.substr(mount == "/" ? 1 : mount.size() + 1);
}

/// A pid no process has: a child's, once reaped.
uint32_t pidOfNoProcess() {
  pid_t pid = fork();
  if (pid == 0)
    _exit(0);
  ::waitpid(pid, nullptr, 0);
  return static_cast<uint32_t>(pid);
}

enum class Writer { Running, Gone, PidReused, EarlierBoot };
enum class Meeting { Listing, Lookup, Valence };

struct SettleCase {
  const char *what;
  Writer writer;
  bool copy;            // the record names another inode
  bool folderReplaced;  // the old folder's path leads to another folder now
  bool takenInOldFolder;
  bool takenWhereItIs;
  const char *expected; // where the file is afterwards: "one/old", "two/old", "two/DEADBEEF"
};

const SettleCase kSettleCases[] = {
    {"DeadWriterOldFolderBack", Writer::Gone, false, false, false, false, "one/old"},
    {"PidOfAnotherProcess", Writer::PidReused, false, false, false, false, "one/old"},
    {"WriterOfAnEarlierBoot", Writer::EarlierBoot, false, false, false, false, "one/old"},
    {"OldFolderReplacedOldNameHere", Writer::Gone, false, true, false, false, "two/old"},
    {"OldNameTakenThereOldNameHere", Writer::Gone, false, false, true, false, "two/old"},
    {"OldNameTakenEverywhereStays", Writer::Gone, false, false, true, true, "two/DEADBEEF"},
    {"RunningWriterLeftAlone", Writer::Running, false, false, false, false, "two/DEADBEEF"},
    {"CopyOfTheObjectLeftAlone", Writer::Gone, true, false, false, false, "two/DEADBEEF"},
};

void PrintTo(const SettleCase &c, std::ostream *os) { *os << c.what; }

const char *nameOf(Meeting m) {
  return m == Meeting::Listing ? "Listing" : m == Meeting::Lookup ? "Lookup" : "Valence";
}

/// The file DEADBEEF (data "D", resource fork "fork D") in folder two with a
/// record of its rename from "old" in folder one, as each case writes it.
class SettleRecords
    : public ::testing::TestWithParam<std::tuple<std::string, SettleCase, Meeting>> {
protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    if (!keepsUserAttributes(dir_.path()))
      GTEST_SKIP() << "no extended attributes here";
    for (const char *folder : {"one", "two"})
      ASSERT_EQ(::mkdir((dir_ / folder).c_str(), 0755), 0);
    writeFile(dir_ / "two/DEADBEEF", "D");
    quillmate::fm::sys::Fd two(::open((dir_ / "two").c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(giveFork(two.get(), "DEADBEEF", "fork D"));
  }

  fm::RenameRecord recordFor(const SettleCase &c) {
    struct statx file = statxOf(AT_FDCWD, (dir_ / "two/DEADBEEF").c_str());
    struct statx one = statxOf(AT_FDCWD, (dir_ / "one").c_str());
    fm::RenameRecord r;
    r.ino = file.stx_ino + (c.copy ? 1 : 0);
    r.birth = 0;
    r.oldName = "old";
    r.oldFolder = pathInVolume(dir_ / "one");
    r.folderIno = one.stx_ino + (c.folderReplaced ? 1 : 0);
    r.folderDevMajor = one.stx_dev_major;
    r.folderDevMinor = one.stx_dev_minor;
    r.writer = fm::ProcessStamp::self();
    if (c.writer == Writer::Gone)
      r.writer.pid = pidOfNoProcess();
    else if (c.writer == Writer::PidReused)
      r.writer.startTime += 1;
    else if (c.writer == Writer::EarlierBoot)
      r.writer.bootID[0] ^= 0xFF;
    return r;
  }

  TempDir dir_{std::get<0>(GetParam())};
};

INSTANTIATE_TEST_SUITE_P(
    Cases, SettleRecords,
    ::testing::Combine(::testing::ValuesIn(bases()), ::testing::ValuesIn(kSettleCases),
                       ::testing::Values(Meeting::Listing, Meeting::Lookup, Meeting::Valence)),
    [](const auto &info) {
      return std::string(std::get<1>(info.param).what) + "_" + nameOf(std::get<2>(info.param)) +
             (std::get<0>(info.param) == "/tmp" ? "_ext4" : "_tmpfs");
    });

/// How a process that renamed a file to DEADBEEF goes on before it ends.
enum class Ending { Exits, OtherObjectThenKilled, KilledAtOnce, SameObjectThenKilled, RenamedOn };

struct EndingCase {
  const char *what;
  Ending ending;
  const char *expected; // the file's name afterwards
};

const EndingCase kEndings[] = {
    {"ExitKeepsTheName", Ending::Exits, "DEADBEEF"},
    {"CallOnAnotherObjectKeepsTheName", Ending::OtherObjectThenKilled, "DEADBEEF"},
    {"KillRightAfterTheRenameSettlesIt", Ending::KilledAtOnce, "x"},
    {"CallsOnTheObjectKeepTheRecord", Ending::SameObjectThenKilled, "x"},
    {"RenameToALastingNameCompletesIt", Ending::RenamedOn, "y"},
};

void PrintTo(const EndingCase &c, std::ostream *os) { *os << c.what; }

class DeliberateNames : public ::testing::TestWithParam<std::tuple<std::string, EndingCase>> {
protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    if (!keepsUserAttributes(dir_.path()))
      GTEST_SKIP() << "no extended attributes here";
    ASSERT_EQ(::mkdir((dir_ / "f").c_str(), 0755), 0);
    writeFile(dir_ / "f/x", "X");
  }
  TempDir dir_{std::get<0>(GetParam())};
};

INSTANTIATE_TEST_SUITE_P(Endings, DeliberateNames,
                         ::testing::Combine(::testing::ValuesIn(bases()),
                                            ::testing::ValuesIn(kEndings)),
                         [](const auto &info) {
                           return std::string(std::get<1>(info.param).what) +
                                  (std::get<0>(info.param) == "/tmp" ? "_ext4" : "_tmpfs");
                         });

/// Renames `from` in `folder` to `to` through the layer.
OSErr renameIn(const std::string &folder, const char *from, const char *to, FSRef *out = nullptr) {
  FSRef ref, renamed;
  const std::u16string name = u16(to);
  if (OSErr err = refFor(folder + "/" + from, ref))
    return err;
  return FSRenameUnicode(&ref, name.size(), units(name), kTextEncodingUnknown,
                         out ? out : &renamed);
}

} // namespace

TEST_P(SettleRecords, AsTheRecordSays) {
  const SettleCase &c = std::get<1>(GetParam());
  const Meeting meeting = std::get<2>(GetParam());
  if (c.takenInOldFolder)
    writeFile(dir_ / "one/old", "other");
  if (c.takenWhereItIs)
    writeFile(dir_ / "two/old", "other here");
  const fm::RenameRecord record = recordFor(c);
  ASSERT_TRUE(record.write(AT_FDCWD, (dir_ / "two/DEADBEEF").c_str()));

  // Met by a listing, a lookup of the name or a count of the folder's items.
  FSRef two, found;
  ASSERT_EQ(refFor(dir_ / "two", two), noErr);
  const bool settled = std::string(c.expected) != "two/DEADBEEF";
  const bool left = std::string(c.expected).rfind("one/", 0) == 0;
  switch (meeting) {
  case Meeting::Listing: {
    std::vector<std::string> listed = listThroughTheLayer(dir_ / "two");
    std::sort(listed.begin(), listed.end());
    std::set<std::string> expected;
    if (!left)
      expected.insert(std::string(c.expected).substr(4));
    if (c.takenWhereItIs)
      expected.insert("old");
    EXPECT_EQ(listed, std::vector<std::string>(expected.begin(), expected.end()));
    break;
  }
  case Meeting::Lookup:
    EXPECT_EQ(child(two, "DEADBEEF", found), settled ? OSErr(fnfErr) : OSErr(noErr));
    break;
  case Meeting::Valence: {
    FSCatalogInfo info;
    ASSERT_EQ(FSGetCatalogInfo(&two, kFSCatInfoValence, &info, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(info.valence, (left ? 0u : 1u) + (c.takenWhereItIs ? 1u : 0u));
    break;
  }
  }

  // Where the file is, whole, with its fork; the record gone once settled.
  const std::string at = dir_ / c.expected;
  EXPECT_EQ(readFile(at), "D") << namesIn(dir_ / "one") << " | " << namesIn(dir_ / "two");
  const std::string folder = at.substr(0, at.rfind('/')), name = at.substr(at.rfind('/') + 1);
  quillmate::fm::sys::Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY));
  EXPECT_EQ(forkOf(fd.get(), name.c_str()), "fork D");
  EXPECT_EQ(hasRecord(at), !settled);
  if (c.takenInOldFolder) {
    EXPECT_EQ(readFile(dir_ / "one/old"), "other");
  }
  if (settled) {
    EXPECT_FALSE(exists(dir_ / "two/DEADBEEF"));
  }
}

// A rename to eight hex digits on purpose: the name stays once the process
// exits or works on another object; until then a kill puts the old name
// back, as for a move under a new name killed part-way.
TEST_P(DeliberateNames, StayOnceTheProcessGoesOn) {
  const EndingCase &c = std::get<1>(GetParam());
  const std::string folder = dir_ / "f";
  pid_t pid = fork();
  if (pid == 0) {
    FSRef renamed, other;
    FSCatalogInfo info;
    if (renameIn(folder, "x", "DEADBEEF", &renamed) != noErr)
      _exit(2);
    switch (c.ending) {
    case Ending::Exits:
      std::exit(0);
    case Ending::OtherObjectThenKilled:
      if (refFor(folder, other) != noErr ||
          FSGetCatalogInfo(&other, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr) != noErr)
        _exit(3);
      break;
    case Ending::KilledAtOnce:
      break;
    case Ending::SameObjectThenKilled:
      if (FSGetCatalogInfo(&renamed, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr) != noErr)
        _exit(3);
      break;
    case Ending::RenamedOn: {
      const std::u16string y = u16("y");
      if (FSRenameUnicode(&renamed, y.size(), units(y), kTextEncodingUnknown, &renamed) != noErr)
        _exit(3);
      break;
    }
    }
    ::raise(SIGKILL);
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
  // A fresh process lists the folder.
  EXPECT_EQ(inChild([&] {
              const std::vector<std::string> listed = listThroughTheLayer(folder);
              return listed == std::vector<std::string>{c.expected} ? 0 : 1;
            }),
            0)
      << namesIn(folder);
  EXPECT_EQ(namesIn(folder), c.expected);
  EXPECT_EQ(readFile(folder + "/" + c.expected), "X");
  EXPECT_FALSE(hasRecord(folder + "/" + c.expected));
}

// A rename under way in a process that still runs is left alone by another
// process's listing, and settled by the next listing once it was killed.
TEST(RenameRecords, ARunningWritersRenameIsLeftAlone) {
  TempDir dir;
  if (!keepsUserAttributes(dir.path()))
    GTEST_SKIP() << "no extended attributes here";
  writeFile(dir / "x", "X");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t writer = fork();
  if (writer == 0) {
    ::close(ready[0]);
    const char done = renameIn(dir.path(), "x", "0BADF00D") == noErr ? 1 : 0;
    if (::write(ready[1], &done, 1) != 1)
      _exit(1);
    for (;;)
      ::pause();
  }
  ::close(ready[1]);
  char done = 0;
  ASSERT_EQ(::read(ready[0], &done, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(done, 1);
  const auto listed = [&] {
    return inChild([&] { return listThroughTheLayer(dir.path()) == std::vector<std::string>{"0BADF00D"} ? 0 : 1; });
  };
  EXPECT_EQ(listed(), 0) << namesIn(dir.path());
  EXPECT_TRUE(hasRecord(dir / "0BADF00D"));
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  EXPECT_EQ(inChild([&] { return listThroughTheLayer(dir.path()) == std::vector<std::string>{"x"} ? 0 : 1; }), 0)
      << namesIn(dir.path());
  EXPECT_EQ(readFile(dir / "x"), "X");
  EXPECT_FALSE(hasRecord(dir / "x"));
}

// Settling as a user other than root: nobody puts back its own file from its
// own folder, and leaves root's file in root's folders as it is.
class SettleAsNobody : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Owners, SettleAsNobody, ::testing::Bool(), [](const auto &info) {
  return info.param ? "NobodysFolders" : "RootsFolders";
});

TEST_P(SettleAsNobody, OnlyWhatItMayRename) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to act as nobody";
  TempDir dir;
  if (!keepsUserAttributes(dir.path()))
    GTEST_SKIP() << "no extended attributes here";
  const bool nobodys = GetParam();
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  for (const char *folder : {"one", "two"})
    ASSERT_EQ(::mkdir((dir / folder).c_str(), 0755), 0);
  writeFile(dir / "two/DEADBEEF", "D");
  struct statx file = statxOf(AT_FDCWD, (dir / "two/DEADBEEF").c_str());
  struct statx one = statxOf(AT_FDCWD, (dir / "one").c_str());
  fm::RenameRecord r;
  r.ino = file.stx_ino;
  r.oldName = "old";
  r.oldFolder = pathInVolume(dir / "one");
  r.folderIno = one.stx_ino;
  r.folderDevMajor = one.stx_dev_major;
  r.folderDevMinor = one.stx_dev_minor;
  r.writer = fm::ProcessStamp::self();
  r.writer.pid = pidOfNoProcess();
  ASSERT_TRUE(r.write(AT_FDCWD, (dir / "two/DEADBEEF").c_str()));
  if (nobodys) {
    for (const char *path : {"one", "two", "two/DEADBEEF"})
      ASSERT_EQ(::chown((dir / path).c_str(), kNobody, kNobody), 0);
  }
  EXPECT_EQ(asNobody([&] {
              const auto listed = listThroughTheLayer(dir / "two");
              return listed == (nobodys ? std::vector<std::string>{}
                                        : std::vector<std::string>{"DEADBEEF"})
                         ? 0
                         : 1;
            }),
            0);
  EXPECT_EQ(namesIn(dir / "one"), nobodys ? "old" : "-");
  EXPECT_EQ(namesIn(dir / "two"), nobodys ? "-" : "DEADBEEF");
  EXPECT_EQ(hasRecord(dir / (nobodys ? "one/old" : "two/DEADBEEF")), !nobodys);
}
