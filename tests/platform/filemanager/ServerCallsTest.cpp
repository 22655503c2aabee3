// Copy and move-rename carried out by the file system: what a copy keeps,
// that nothing is ever replaced, and that a failed or killed copy leaves
// nothing behind.
#include "FileManagerTestSupport.h"

#include "platform/filemanager/testing/FileManagerTesting.h"
#include "platform/text/TextTesting.h"

#include <csignal>
#include <deque>
#include <dirent.h>
#include <set>
#include <sys/resource.h>
#include <sys/wait.h>

using namespace fmtest;

namespace {

struct stat statOf(const std::string &path) {
  struct stat st{};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

unsigned char kNewName[] = "\x04" "copy";

/// Keeps the FSSpecs that copy blocks point into alive for the test.
class SpecStore {
public:
  FSSpec &operator[](const FSRef *ref) {
    specs_.push_back(specOf(*ref));
    return specs_.back();
  }

private:
  std::deque<FSSpec> specs_;
};

class ServerCalls : public OnEachFileSystem {
protected:
  SpecStore spec_;
};

} // namespace

TEST_P(ServerCalls, CopyKeepsContentsMacMetadataResourceForkAndDates) {
  FSRef file, dest;
  ASSERT_EQ(createDir(root_, "dest", &dest), noErr);
  writeFile(dir_ / "source.txt", "the data fork");
  ASSERT_EQ(refFor(dir_ / "source.txt", file), noErr);

  FSCatalogInfo info{};
  std::memcpy(info.finderInfo, "TEXTqmat", 8);
  info.createDate = {0, 0x12345678, 0};
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoFinderInfo | kFSCatInfoCreateDate, &info), noErr);
  HFSUniStr255 rsrc;
  FSGetResourceForkName(&rsrc);
  FSIORefNum fork;
  ASSERT_EQ(FSOpenFork(&file, rsrc.length, rsrc.unicode, fsWrPerm, &fork), noErr);
  ASSERT_EQ(FSWriteFork(fork, fsFromStart, 0, 5, "rsrc!", nullptr), noErr);
  FSCloseFork(fork);
  const struct timespec past[2] = {{1000000000, 0}, {1000000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir_ / "source.txt").c_str(), past, 0), 0);
  ASSERT_EQ(::chmod((dir_ / "source.txt").c_str(), 0640), 0);

  HParamBlockRec pb = copyBlock(spec_[&file], dest, nullptr);
  ASSERT_EQ(PBHCopyFileSync(&pb), noErr);
  EXPECT_EQ(pb.copyParam.ioResult, noErr);

  const std::string copy = dir_ / "dest/source.txt";
  EXPECT_EQ(readFile(copy), "the data fork");
  const struct stat st = statOf(copy);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  FSRef copied;
  ASSERT_EQ(refFor(copy, copied), noErr);
  const FSCatalogInfo got = infoOf(copied, kFSCatInfoFinderInfo | kFSCatInfoCreateDate |
                                               kFSCatInfoRsrcSizes);
  EXPECT_EQ(std::memcmp(got.finderInfo, "TEXTqmat", 8), 0);
  // Copies of the packed fields: a reference to one would be misaligned.
  const UInt32 createSeconds = got.createDate.lowSeconds;
  const UInt64 rsrcSize = got.rsrcLogicalSize;
  EXPECT_EQ(createSeconds, 0x12345678u);
  EXPECT_EQ(rsrcSize, 5u);
  // The source is untouched, and nothing but the copy and its resource
  // fork (its `._` file) appeared.
  EXPECT_EQ(readFile(dir_ / "source.txt"), "the data fork");
  EXPECT_EQ(entriesOf(dir_ / "dest"), (std::set<std::string>{"._source.txt", "source.txt"}));
}

TEST_P(ServerCalls, CopyWithoutAnExplicitDateKeepsTheSourcesCreationDate) {
  FSRef file;
  writeFile(dir_ / "a", "x");
  ASSERT_EQ(refFor(dir_ / "a", file), noErr);
  const FSCatalogInfo before = infoOf(file, kFSCatInfoCreateDate);
  ::usleep(20000);
  HParamBlockRec pb = copyBlock(spec_[&file], root_, kNewName);
  ASSERT_EQ(PBHCopyFileSync(&pb), noErr);
  FSRef copied;
  ASSERT_EQ(refFor(dir_ / "copy", copied), noErr);
  const FSCatalogInfo after = infoOf(copied, kFSCatInfoCreateDate);
  EXPECT_EQ(std::memcmp(&before.createDate, &after.createDate, sizeof before.createDate), 0);
}

TEST_P(ServerCalls, CopyNeverReplacesAndRefusesWhatItCannotCopy) {
  FSRef file, folder, sub;
  writeFile(dir_ / "a", "source");
  writeFile(dir_ / "copy", "already here");
  ASSERT_EQ(refFor(dir_ / "a", file), noErr);
  ASSERT_EQ(createDir(root_, "folder", &folder), noErr);
  ASSERT_EQ(createDir(folder, "sub", &sub), noErr);

  HParamBlockRec pb = copyBlock(spec_[&file], root_, kNewName);
  EXPECT_EQ(PBHCopyFileSync(&pb), dupFNErr);
  EXPECT_EQ(readFile(dir_ / "copy"), "already here");
  pb = copyBlock(spec_[&file], root_, nullptr); // its own name, in its own folder
  EXPECT_EQ(PBHCopyFileSync(&pb), dupFNErr);
  unsigned char empty[] = "";
  pb = copyBlock(spec_[&file], root_, empty);
  EXPECT_EQ(PBHCopyFileSync(&pb), bdNamErr);
  pb = copyBlock(spec_[&folder], root_, kNewName);
  EXPECT_EQ(PBHCopyFileSync(&pb), notAFileErr);
  pb = copyBlock(spec_[&file], root_, kNewName);
  pb.copyParam.ioNewDirID = 0x7FFFFFF0;
  EXPECT_EQ(PBHCopyFileSync(&pb), dirNFErr);
  // The destination folder can also be named inside the given one.
  unsigned char subName[] = "\x03sub";
  pb = copyBlock(spec_[&file], folder, nullptr);
  pb.copyParam.ioNewName = subName;
  EXPECT_EQ(PBHCopyFileSync(&pb), noErr);
  EXPECT_EQ(readFile(dir_ / "folder/sub/a"), "source");
  EXPECT_EQ(entriesOf(dir_.path()), (std::set<std::string>{"a", "copy", "folder"}));
}

TEST_P(ServerCalls, CopyKeepsHoles) {
  const std::string sparse = dir_ / "sparse";
  {
    int fd = ::open(sparse.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    std::string block(4096, 'a');
    ASSERT_EQ(::pwrite(fd, block.data(), block.size(), 0), 4096);
    block.assign(4096, 'z');
    ASSERT_EQ(::pwrite(fd, block.data(), block.size(), 32 << 20), 4096);
    ASSERT_EQ(::ftruncate(fd, (64 << 20)), 0); // and a hole at the end
    ::close(fd);
  }
  FSRef file;
  ASSERT_EQ(refFor(sparse, file), noErr);
  HParamBlockRec pb = copyBlock(spec_[&file], root_, kNewName);
  ASSERT_EQ(PBHCopyFileSync(&pb), noErr);
  const struct stat source = statOf(sparse), copy = statOf(dir_ / "copy");
  EXPECT_EQ(copy.st_size, 64 << 20);
  EXPECT_LE(copy.st_blocks, source.st_blocks + 64) << "holes were filled";
  int fd = ::open((dir_ / "copy").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char c = 0;
  EXPECT_EQ(::pread(fd, &c, 1, 4095), 1);
  EXPECT_EQ(c, 'a');
  EXPECT_EQ(::pread(fd, &c, 1, 1 << 20), 1);
  EXPECT_EQ(c, '\0');
  EXPECT_EQ(::pread(fd, &c, 1, (32 << 20) + 10), 1);
  EXPECT_EQ(c, 'z');
  ::close(fd);
}

TEST_P(ServerCalls, WithoutUnnamedFilesACopyGoesThroughAHiddenNameAndCleansUp) {
  const std::string big = dir_ / "big";
  writeFile(big, std::string(4 << 20, 'b'));
  FSRef file, dest;
  ASSERT_EQ(refFor(big, file), noErr);
  ASSERT_EQ(createDir(root_, "dest", &dest), noErr);
  writeFile(dir_ / "dest/taken", "keep");
  quillmate::fm::testing::copyIntoUnnamedFiles(false);
  HParamBlockRec pb = copyBlock(spec_[&file], dest, nullptr);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1 << 20, 1 << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(PBHCopyFileSync(&pb) == dskFulErr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "expected dskFulErr";
  EXPECT_EQ(entriesOf(dir_ / "dest"), (std::set<std::string>{"taken"})) << "after a failure";
  EXPECT_EQ(PBHCopyFileSync(&pb), noErr);
  unsigned char taken[] = "\x05" "taken";
  HParamBlockRec clash = copyBlock(spec_[&file], dest, taken);
  EXPECT_EQ(PBHCopyFileSync(&clash), dupFNErr);
  quillmate::fm::testing::copyIntoUnnamedFiles(true);
  EXPECT_EQ(readFile(dir_ / "dest/taken"), "keep");
  EXPECT_EQ(statOf(dir_ / "dest/big").st_size, 4 << 20);
  EXPECT_EQ(entriesOf(dir_ / "dest"), (std::set<std::string>{"big", "taken"}));
}

// RLIMIT_FSIZE makes the kernel refuse (or, by default, kill on) a write
// past the limit half-way through the copy.
TEST_P(ServerCalls, AFailedOrKilledCopyLeavesNoPartialFile) {
  const std::string big = dir_ / "big";
  writeFile(big, std::string(4 << 20, 'b'));
  FSRef file, dest;
  ASSERT_EQ(refFor(big, file), noErr);
  ASSERT_EQ(createDir(root_, "dest", &dest), noErr);
  HParamBlockRec pb = copyBlock(spec_[&file], dest, nullptr);

  for (bool killed : {false, true}) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::signal(SIGXFSZ, killed ? SIG_DFL : SIG_IGN);
      struct rlimit limit = {1 << 20, 1 << 20};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      OSErr err = PBHCopyFileSync(&pb);
      ::_exit(err == dskFulErr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (killed) {
      ASSERT_TRUE(WIFSIGNALED(status));
      EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    } else {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0) << "expected dskFulErr";
    }
    EXPECT_TRUE(entriesOf(dir_ / "dest").empty()) << (killed ? "after a kill" : "after a failure");
  }
  ASSERT_EQ(PBHCopyFileSync(&pb), noErr); // and without the limit it works
  EXPECT_EQ(statOf(dir_ / "dest/big").st_size, 4 << 20);
}

TEST_P(ServerCalls, MoveRenameMovesAndRenamesInOneStep) {
  FSRef file, one, two;
  ASSERT_EQ(createDir(root_, "one", &one), noErr);
  ASSERT_EQ(createDir(root_, "two", &two), noErr);
  ASSERT_EQ(createFile(one, "a", &file), noErr);
  const FSSpec spec = specOf(file);
  HParamBlockRec pb{};
  pb.copyParam.ioNamePtr = const_cast<StringPtr>(spec.name);
  pb.copyParam.ioVRefNum = spec.vRefNum;
  pb.copyParam.ioDirID = spec.parID;
  pb.copyParam.ioNewDirID = static_cast<SInt32>(infoOf(two, kFSCatInfoNodeID).nodeID);
  pb.copyParam.ioCopyName = kNewName;
  ASSERT_EQ(PBHMoveRenameSync(&pb), noErr);
  EXPECT_EQ(pathOf(file), dir_ / "two/copy"); // the reference follows
  EXPECT_TRUE(entriesOf(dir_ / "one").empty());

  // Back home under its own name: the null copy name keeps "copy".
  const FSSpec moved = specOf(file);
  pb.copyParam.ioNamePtr = const_cast<StringPtr>(moved.name);
  pb.copyParam.ioDirID = moved.parID;
  pb.copyParam.ioNewDirID = static_cast<SInt32>(infoOf(one, kFSCatInfoNodeID).nodeID);
  pb.copyParam.ioCopyName = nullptr;
  ASSERT_EQ(PBHMoveRenameSync(&pb), noErr);
  EXPECT_EQ(pathOf(file), dir_ / "one/copy");
}

// The names of the one-byte calls are in the system script's encoding.
TEST_P(ServerCalls, CopyAndMoveRenameNamesAreInTheSystemScript) {
  quillmate::text::testing::ScriptVariablesOverride system(smCyrillic, verRussia);
  FSRef file, dest;
  ASSERT_EQ(createDir(root_, "dest", &dest), noErr);
  ASSERT_EQ(createFile(root_, "source", &file), noErr);
  unsigned char file8[] = "\x04\xf4\xe0\xe9\xeb";   // файл in Mac Cyrillic
  unsigned char folder8[] = "\x05\xef\xe0\xef\xea\xe0"; // папка
  HParamBlockRec pb = copyBlock(spec_[&file], dest, file8);
  ASSERT_EQ(PBHCopyFileSync(&pb), noErr);
  EXPECT_EQ(entriesOf(dir_ / "dest"), std::set<std::string>{"\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb"});

  const FSSpec spec = specOf(dest);
  HParamBlockRec move{};
  move.copyParam.ioNamePtr = const_cast<StringPtr>(spec.name);
  move.copyParam.ioVRefNum = spec.vRefNum;
  move.copyParam.ioDirID = spec.parID;
  move.copyParam.ioNewDirID = spec.parID;
  move.copyParam.ioCopyName = folder8;
  ASSERT_EQ(PBHMoveRenameSync(&move), noErr);
  EXPECT_EQ(pathOf(dest), dir_ / "\xd0\xbf\xd0\xb0\xd0\xbf\xd0\xba\xd0\xb0");
}

TEST_P(ServerCalls, MoveRenameNeverReplacesAndRefusesBadMoves) {
  FSRef file, other, folder, inner;
  ASSERT_EQ(createFile(root_, "a", &file), noErr);
  writeFile(dir_ / "copy", "keep me");
  ASSERT_EQ(refFor(dir_ / "copy", other), noErr);
  ASSERT_EQ(createDir(root_, "folder", &folder), noErr);
  ASSERT_EQ(createDir(folder, "inner", &inner), noErr);
  const SInt32 rootID = static_cast<SInt32>(infoOf(root_, kFSCatInfoNodeID).nodeID);

  auto block = [&](const FSRef &what, SInt32 into, StringPtr name) {
    static FSSpec spec;
    spec = specOf(what);
    HParamBlockRec pb{};
    pb.copyParam.ioNamePtr = spec.name;
    pb.copyParam.ioVRefNum = spec.vRefNum;
    pb.copyParam.ioDirID = spec.parID;
    pb.copyParam.ioNewDirID = into;
    pb.copyParam.ioCopyName = name;
    return pb;
  };
  HParamBlockRec pb = block(file, rootID, kNewName);
  EXPECT_EQ(PBHMoveRenameSync(&pb), dupFNErr);
  EXPECT_EQ(readFile(dir_ / "copy"), "keep me");

  pb = block(folder, static_cast<SInt32>(infoOf(inner, kFSCatInfoNodeID).nodeID), nullptr);
  EXPECT_EQ(PBHMoveRenameSync(&pb), badMovErr);

  FSCatalogInfo locked{};
  locked.nodeFlags = kFSNodeLockedMask;
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoNodeFlags, &locked), noErr);
  unsigned char fresh[] = "\x05" "fresh";
  pb = block(file, rootID, fresh);
  EXPECT_EQ(PBHMoveRenameSync(&pb), fLckdErr);
  locked.nodeFlags = 0;
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoNodeFlags, &locked), noErr);

  // A volume without the capability refuses the call and moves nothing.
  {
    quillmate::fm::testing::FaultInjector faults;
    faults.withoutCapability(0, bHasMoveRename);
    pb = block(file, rootID, fresh);
    EXPECT_EQ(PBHMoveRenameSync(&pb), paramErr);
  }
  EXPECT_EQ(entriesOf(dir_.path()), (std::set<std::string>{"a", "copy", "folder"}));
  EXPECT_EQ(PBHMoveRenameSync(nullptr), paramErr);
  EXPECT_EQ(PBHCopyFileSync(nullptr), paramErr);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, ServerCalls, ::testing::ValuesIn(bases()));

TEST(ServerCallsAcrossVolumes, CopyStaysOnItsVolume) {
  TempDir ext4("/tmp"), tmpfs("/dev/shm");
  writeFile(ext4 / "a", "x");
  FSRef file, elsewhere;
  ASSERT_EQ(refFor(ext4 / "a", file), noErr);
  ASSERT_EQ(refFor(tmpfs.path(), elsewhere), noErr);
  FSSpec spec = specOf(file);
  HParamBlockRec pb = copyBlock(spec, elsewhere, nullptr);
  EXPECT_EQ(PBHCopyFileSync(&pb), diffVolErr);
  EXPECT_TRUE(entriesOf(tmpfs.path()).empty());
}
