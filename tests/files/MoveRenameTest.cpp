// Move, rename and exchange on real files.  The undoable operations pass
// files through temporary names, so every forward step is failed in turn
// (injected) and both files must come out whole: same names, folders,
// contents, resource forks, Finder information, creation dates, permissions,
// nothing left under a temporary name, and references that name their own
// files.  Failing an undo step as well must leave exactly what the remaining
// undo steps imply.
#include <FileUtilities.h>

#include "files/UniqueName.h"
#include "platform/filemanager/testing/FileManagerTesting.h"
#include "platform/text/TextTesting.h"
#include "tests/files/FilesTestSupport.h"

#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace filestest;
using quillmate::files::GenerateUniqueHFSUniStr;
using quillmate::files::kUniqueNameFirstCounter;
using quillmate::fm::testing::Call;
using quillmate::fm::testing::CallMatcher;
using quillmate::fm::testing::CallRecorder;
using quillmate::fm::testing::callsTo;
using quillmate::fm::testing::FaultInjector;
using quillmate::fm::testing::FMCall;
using quillmate::text::testing::ScriptVariablesOverride;

namespace {

/// The failure every injected fault answers with.
constexpr OSErr kInjected = ioErr;
/// The temporary names the operations take first.
const char kFirstTemporary[] = "5675726E", kSecondTemporary[] = "5675726F";

std::string ascii(const HFSUniStr255 &name) {
  std::string out;
  for (UInt16 i = 0; i < name.length; ++i)
    out += static_cast<char>(name.unicode[i]);
  return out;
}

std::string joined(const std::vector<std::string> &names) {
  std::string out;
  for (const std::string &n : names)
    out += (out.empty() ? "" : ",") + n;
  return out;
}

std::vector<std::string> namesOf(const CallRecorder &calls) { return calls.names(); }

unsigned timesCalled(const std::vector<std::string> &names, const std::string &name) {
  return static_cast<unsigned>(std::count(names.begin(), names.end(), name));
}

/// The steps of the operations, told by their object and argument: the
/// layer keeps an object's reference through its renames and moves.
CallMatcher renaming(const FSRef &object, const char *to) {
  return callsTo(FMCall::FSRenameUnicode).onObject(object).named(u16(to));
}
CallMatcher moving(const FSRef &object, const FSRef &folder) {
  return callsTo(FMCall::FSMoveObject).onObject(object).into(folder);
}

/// "" when `ref` names the object at `path`, else what it names.
std::string namesPath(const FSRef &ref, const std::string &path) {
  FSRef fresh;
  if (refFor(path, fresh) != noErr)
    return "nothing at " + path + "\n";
  if (FSCompareFSRefs(&ref, &fresh) != noErr)
    return "names " + pathOf(ref) + ", not " + path + "\n";
  return "";
}

// --- GenerateUniqueHFSUniStr ---------------------------------------------------

class UniqueName : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    ASSERT_EQ(createDir(root_, "one", &one_), noErr);
    ASSERT_EQ(createDir(root_, "two", &two_), noErr);
  }
  OSErr generate(SInt32 &counter, const FSRef &first, const FSRef &second) {
    return GenerateUniqueHFSUniStr(&counter, &first, &second, &name_);
  }
  FSRef one_, two_;
  HFSUniStr255 name_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, UniqueName, ::testing::ValuesIn(bases()));

TEST_P(UniqueName, TheFirstFreeNameAndTheCounterPastIt) {
  SInt32 counter = kUniqueNameFirstCounter;
  ASSERT_EQ(generate(counter, one_, two_), noErr);
  EXPECT_EQ(ascii(name_), "5675726E");
  EXPECT_EQ(counter, 0x5675726F);
  ASSERT_EQ(generate(counter, one_, two_), noErr);
  EXPECT_EQ(ascii(name_), "5675726F");
  EXPECT_EQ(counter, 0x56757270);
  // Leading zeros; one folder given twice.
  counter = 0x12AB;
  ASSERT_EQ(generate(counter, one_, one_), noErr);
  EXPECT_EQ(ascii(name_), "000012AB");
}

TEST_P(UniqueName, ANameTakenInEitherFolderIsPassedOver) {
  ASSERT_EQ(createFile(two_, "5675726E"), noErr);
  SInt32 counter = kUniqueNameFirstCounter;
  ASSERT_EQ(generate(counter, one_, two_), noErr);
  EXPECT_EQ(ascii(name_), "5675726F");
  EXPECT_EQ(counter, 0x56757270);
  // Taken in the first folder, by a folder this time.
  ASSERT_EQ(createDir(one_, "5675726F"), noErr);
  counter = kUniqueNameFirstCounter;
  ASSERT_EQ(generate(counter, one_, two_), noErr);
  EXPECT_EQ(ascii(name_), "56757270");
  EXPECT_EQ(counter, 0x56757271);
}

TEST_P(UniqueName, ALookupFailureIsReturnedWithoutAdvancing) {
  for (const FSRef *folder : {&one_, &two_}) {
    SCOPED_TRACE(folder == &one_ ? "in the first folder" : "in the second");
    FaultInjector faults;
    faults.failWhen(callsTo(FMCall::PBMakeFSRefUnicodeSync).onObject(*folder), kInjected);
    SInt32 counter = kUniqueNameFirstCounter;
    EXPECT_EQ(generate(counter, one_, two_), kInjected);
    EXPECT_EQ(counter, kUniqueNameFirstCounter);
    EXPECT_EQ(ascii(name_), "5675726E");
  }
}

TEST(UniqueNameDigits, EveryValueHasEightDigitsAndTheCounterWraps) {
  TempDir dir;
  FSRef folder;
  ASSERT_EQ(refFor(dir.path(), folder), noErr);
  HFSUniStr255 name;
  SInt32 counter = INT32_MAX;
  ASSERT_EQ(GenerateUniqueHFSUniStr(&counter, &folder, &folder, &name), noErr);
  EXPECT_EQ(ascii(name), "7FFFFFFF");
  EXPECT_EQ(counter, INT32_MIN);
  counter = -1;
  ASSERT_EQ(GenerateUniqueHFSUniStr(&counter, &folder, &folder, &name), noErr);
  EXPECT_EQ(ascii(name), "FFFFFFFF");
  EXPECT_EQ(counter, 0);
}

// --- Files to move and exchange -------------------------------------------------

/// Sets a file's content modification time (seconds since 1970).
void setModified(const std::string &path, time_t seconds) {
  struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

/// A file with everything a move or an exchange must keep: contents, a
/// resource fork, Finder information, a creation date, a mode, an owner and a
/// content modification date of its own.
void makeFile(const std::string &path, const std::string &tag, OSType type, UInt32 created,
              mode_t mode, uid_t owner, time_t modified) {
  writeFile(path, tag + " contents");
  FSRef ref;
  ASSERT_EQ(refFor(path, ref), noErr);
  ASSERT_EQ(writeFork(ref, true, tag + " resource fork"), noErr);
  ASSERT_EQ(setTypeAndCreated(ref, type, fourCC("qmte"), created), noErr);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  ASSERT_EQ(::chown(path.c_str(), owner, owner), 0);
  setModified(path, modified);
}

/// One file, doc.txt, in folder "old", and an empty folder "new".
struct Doc {
  explicit Doc(const std::string &base) : dir(base) {
    oldDir = dir / "old";
    newDir = dir / "new";
    ::mkdir(oldDir.c_str(), 0755);
    ::mkdir(newDir.c_str(), 0755);
    path = oldDir + "/doc.txt";
    makeFile(path, "doc", fourCC("DOCU"), 3000000000u, 0640, 0, 1000000000);
    refFor(path, ref);
    refFor(oldDir, oldRef);
    refFor(newDir, newRef);
    was = stateOf(path);
  }
  OSErr moveRename(const char *name, FSRef *out = nullptr) {
    std::u16string n = name ? u16(name) : std::u16string();
    return FSMoveRenameObjectUnicode(&ref, &newRef, n.size(), name ? units(n) : nullptr,
                                     kTextEncodingUnknown, out ? out : &moved);
  }
  /// "" when the file is exactly as it was, at `where`, and nothing else is
  /// in either folder.
  std::string wholeAt(const std::string &where) const {
    std::string out;
    if (std::string is = stateOf(where).str(); is != was.str())
      out += where + ": " + is + " != " + was.str() + "\n";
    std::string folders = joined(listing(oldDir)) + "|" + joined(listing(newDir));
    std::string want = where.substr(0, where.rfind('/')) == oldDir
                           ? where.substr(oldDir.size() + 1) + "|"
                           : "|" + where.substr(newDir.size() + 1);
    if (folders != want)
      out += "folders hold " + folders + ", not " + want + "\n";
    return out + namesPath(moved, where);
  }

  TempDir dir;
  std::string oldDir, newDir, path;
  FSRef ref, oldRef, newRef, moved;
  FileState was;
};

/// alpha.txt in folder "a" and beta.txt in folder "b", or both in "a".
struct Pair {
  Pair(const std::string &base, bool twoFolders) : dir(base), twoFolders(twoFolders) {
    a = dir / "a";
    b = twoFolders ? dir / "b" : a;
    ::mkdir(a.c_str(), 0755);
    ::mkdir(b.c_str(), 0755);
    refFor(a, aRef);
    refFor(b, bRef);
    srcPath = a + "/alpha.txt";
    dstPath = b + "/beta.txt";
    makeFile(srcPath, "alpha", fourCC("ALFA"), 3000000000u, 0640, 0, 1000000000);
    makeFile(dstPath, "beta, longer", fourCC("BETA"), 3100000000u, 0604, kNobody, 1100000000);
    snapshot();
  }
  void snapshot() {
    refFor(srcPath, src);
    refFor(dstPath, dst);
    srcWas = stateOf(srcPath);
    dstWas = stateOf(dstPath);
  }
  OSErr exchange() { return FSExchangeObjectsCompat(&src, &dst, &newSrc, &newDst); }

  std::string folders() const { return joined(listing(a)) + "|" + joined(listing(b)); }
  std::string usualFolders() const {
    return twoFolders ? "alpha.txt|beta.txt" : "alpha.txt,beta.txt|alpha.txt,beta.txt";
  }
  static std::string differs(const std::string &what, const std::string &is,
                             const std::string &want) {
    return is == want ? "" : what + ": " + is + "\n   != " + want + "\n";
  }

  /// "" when both files are as they were, where they were, under their own
  /// names, each out reference naming its own, and nothing else is there.
  std::string whole() const {
    return differs(srcPath, stateOf(srcPath).str(), srcWas.str()) +
           differs(dstPath, stateOf(dstPath).str(), dstWas.str()) +
           differs("folders", folders(), usualFolders()) + namesPath(newSrc, srcPath) +
           namesPath(newDst, dstPath);
  }

  /// "" when each place holds the other's contents (with their resource
  /// fork and content modification date) under its own name, Finder
  /// information, creation date, permissions and owner.
  std::string exchanged() const {
    auto atPlace = [](const FileState &place, FileState contents) {
      contents.finderInfo = place.finderInfo;
      contents.created = place.created;
      contents.mode = place.mode;
      contents.uid = place.uid;
      return contents;
    };
    return differs(srcPath, stateOf(srcPath).str(), atPlace(srcWas, dstWas).str()) +
           differs(dstPath, stateOf(dstPath).str(), atPlace(dstWas, srcWas).str()) +
           differs("folders", folders(), usualFolders()) + namesPath(newSrc, srcPath) +
           namesPath(newDst, dstPath);
  }

  TempDir dir;
  bool twoFolders;
  std::string a, b, srcPath, dstPath;
  FSRef aRef, bRef, src, dst, newSrc, newDst;
  FileState srcWas, dstWas;
};

/// The fallback runs where the volume presents no native exchange.
void withoutNativeExchange(FaultInjector &faults) {
  faults.withoutCapability(0, bSupportsFSExchangeObjects, true);
}

// --- FSMoveRenameObjectUnicode -------------------------------------------------

class MoveRenameObject : public ::testing::TestWithParam<std::string> {
protected:
  Doc doc{GetParam()};
};
INSTANTIATE_TEST_SUITE_P(FileSystems, MoveRenameObject, ::testing::ValuesIn(bases()));

TEST_P(MoveRenameObject, WantsAnOutReference) {
  CallRecorder calls;
  const UniChar n = 'x';
  EXPECT_EQ(FSMoveRenameObjectUnicode(&doc.ref, &doc.newRef, 1, &n, 0, nullptr), paramErr);
  EXPECT_TRUE(calls.calls().empty());
}

TEST_P(MoveRenameObject, WithoutANameTheObjectOnlyMoves) {
  std::vector<std::string> names;
  {
    CallRecorder calls;
    ASSERT_EQ(doc.moveRename(nullptr), noErr);
    names = namesOf(calls);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"FSGetCatalogInfo", "FSGetCatalogInfo",
                                             "FSMoveObject"}));
  EXPECT_EQ(doc.wholeAt(doc.newDir + "/doc.txt"), "");
}

TEST_P(MoveRenameObject, MovesAndRenamesThroughATemporaryName) {
  std::vector<Call> calls;
  {
    CallRecorder recorder;
    ASSERT_EQ(doc.moveRename("renamed.txt"), noErr);
    calls = recorder.calls();
  }
  EXPECT_EQ(doc.wholeAt(doc.newDir + "/renamed.txt"), "");
  std::vector<Call> renames;
  for (const Call &c : calls)
    if (c.call == FMCall::FSRenameUnicode)
      renames.push_back(c);
  ASSERT_EQ(renames.size(), 2u);
  EXPECT_EQ(renames[0].count, 8u); // the temporary name
  EXPECT_EQ(renames[0].unicodeName, u16(kFirstTemporary));
  EXPECT_EQ(renames[0].flags, UInt32(kTextEncodingUnknown));
  EXPECT_EQ(renames[1].count, 11u);
  EXPECT_EQ(renames[1].unicodeName, u"renamed.txt");
}

TEST_P(MoveRenameObject, WithinItsOwnFolderItIsRenamed) {
  const std::u16string n = u16("renamed.txt");
  ASSERT_EQ(FSMoveRenameObjectUnicode(&doc.ref, &doc.oldRef, n.size(), units(n),
                                      kTextEncodingUnknown, &doc.moved),
            noErr);
  EXPECT_EQ(doc.wholeAt(doc.oldDir + "/renamed.txt"), "");
}

TEST_P(MoveRenameObject, ANameTakenInTheDestinationLeavesTheObjectWhereItWas) {
  writeFile(doc.newDir + "/taken", "someone else's");
  EXPECT_EQ(doc.moveRename("taken"), dupFNErr);
  EXPECT_EQ(readFile(doc.newDir + "/taken"), "someone else's");
  ASSERT_EQ(::unlink((doc.newDir + "/taken").c_str()), 0);
  EXPECT_EQ(doc.wholeAt(doc.path), "");
}

TEST_P(MoveRenameObject, AnotherVolumeIsRefusedBeforeAnythingMoves) {
  TempDir other(GetParam() == "/tmp" ? "/dev/shm" : "/tmp");
  FSRef otherRef;
  ASSERT_EQ(refFor(other.path(), otherRef), noErr);
  const std::u16string n = u16("x");
  std::memset(&doc.moved, 0, sizeof doc.moved);
  EXPECT_EQ(FSMoveRenameObjectUnicode(&doc.ref, &otherRef, n.size(), units(n), 0, &doc.moved),
            diffVolErr);
  EXPECT_EQ(std::memcmp(&doc.moved, &doc.ref, sizeof doc.ref), 0); // a copy of the input
  EXPECT_EQ(doc.wholeAt(doc.path), "");
}

TEST_P(MoveRenameObject, AFailedStepIsUndone) {
  // Each forward step failed alone.
  const struct {
    const char *what;
    CallMatcher step;
  } steps[] = {{"temporary rename", renaming(doc.ref, kFirstTemporary)},
               {"move", moving(doc.ref, doc.newRef)},
               {"final rename", renaming(doc.ref, "renamed.txt")}};
  for (const auto &step : steps) {
    SCOPED_TRACE(step.what);
    FaultInjector faults;
    faults.failWhen(step.step, kInjected);
    EXPECT_EQ(doc.moveRename("renamed.txt"), kInjected);
    EXPECT_EQ(doc.wholeAt(doc.path), "");
  }
}

/// Puts the document back home from `from` with plain renames, its `._`
/// file (its resource fork) with it, and takes a new reference to it.
void putBack(Doc &doc, const std::string &from) {
  const size_t slash = from.rfind('/');
  const std::string sidecar = from.substr(0, slash + 1) + "._" + from.substr(slash + 1);
  ASSERT_EQ(::rename(from.c_str(), doc.path.c_str()), 0);
  ASSERT_EQ(::rename(sidecar.c_str(), (doc.oldDir + "/._doc.txt").c_str()), 0);
  ASSERT_EQ(refFor(doc.path, doc.ref), noErr);
}

TEST_P(MoveRenameObject, AFailedUndoStepLeavesWhatTheRestPutBack) {
  {
    SCOPED_TRACE("move, then the rename back: stays under the temporary name at home");
    FaultInjector faults;
    faults.failWhen(moving(doc.ref, doc.newRef), kInjected);
    faults.failWhen(renaming(doc.ref, "doc.txt"), dupFNErr);
    EXPECT_EQ(doc.moveRename("renamed.txt"), kInjected);
    EXPECT_EQ(doc.wholeAt(doc.oldDir + "/" + kFirstTemporary), "");
  }
  putBack(doc, doc.oldDir + "/" + kFirstTemporary);
  {
    SCOPED_TRACE("final rename, then the move back: back under its old name, in the new folder");
    FaultInjector faults;
    faults.failWhen(renaming(doc.ref, "renamed.txt"), kInjected);
    faults.failWhen(moving(doc.ref, doc.oldRef), kInjected);
    EXPECT_EQ(doc.moveRename("renamed.txt"), kInjected);
    EXPECT_EQ(doc.wholeAt(doc.newDir + "/doc.txt"), "");
  }
  putBack(doc, doc.newDir + "/doc.txt");
  {
    SCOPED_TRACE("final rename, then the rename back: home under the temporary name");
    FaultInjector faults;
    faults.failWhen(renaming(doc.ref, "renamed.txt"), kInjected);
    faults.failWhen(renaming(doc.ref, "doc.txt"), kInjected);
    EXPECT_EQ(doc.moveRename("renamed.txt"), kInjected);
    EXPECT_EQ(doc.wholeAt(doc.oldDir + "/" + kFirstTemporary), "");
  }
}

// --- FSMoveRename --------------------------------------------------------------

class MoveRename : public ::testing::TestWithParam<std::string> {
protected:
  OSErr moveRename(const char *name, FSRef *out) {
    std::u16string n = name ? u16(name) : std::u16string();
    return FSMoveRename(&doc.ref, &doc.newRef, n.size(), name ? units(n) : nullptr,
                        kTextEncodingUnknown, out);
  }
  Doc doc{GetParam()};
};
INSTANTIATE_TEST_SUITE_P(FileSystems, MoveRename, ::testing::ValuesIn(bases()));

TEST_P(MoveRename, MovesAndRenamesInOneCall) {
  std::vector<Call> calls;
  {
    CallRecorder recorder;
    ASSERT_EQ(moveRename("renamed.txt", &doc.moved), noErr);
    calls = recorder.calls();
  }
  EXPECT_EQ(doc.wholeAt(doc.newDir + "/renamed.txt"), "");
  int moves = 0;
  for (const Call &c : calls) {
    if (c.call == FMCall::PBHGetVolParmsSync) {
      EXPECT_EQ(c.count, 32u);
    }
    if (c.call == FMCall::PBHMoveRenameSync) {
      ++moves;
      EXPECT_EQ(c.count, 7u);          // "doc.txt"
      EXPECT_EQ(c.oneByteName, "doc.txt");
      EXPECT_EQ(c.nulls, 0b0100u);     // ioNewName only
    }
  }
  EXPECT_EQ(moves, 1);
}

TEST_P(MoveRename, WithoutANameTheReferenceNamesTheMovedObject) {
  ASSERT_EQ(moveRename(nullptr, &doc.moved), noErr);
  // The object, not the folder it went into.
  EXPECT_EQ(doc.wholeAt(doc.newDir + "/doc.txt"), "");
}

TEST_P(MoveRename, WithoutAReferenceNoneIsMade) {
  {
    CallRecorder calls;
    ASSERT_EQ(moveRename("renamed.txt", nullptr), noErr);
    EXPECT_EQ(timesCalled(calls.names(), "PBMakeFSRefSync"), 0u);
  }
  EXPECT_EQ(stateOf(doc.newDir + "/renamed.txt").str(), doc.was.str());
}

TEST_P(MoveRename, AVolumeWithoutTheCallIsRefused) {
  std::vector<std::string> names;
  {
    FaultInjector faults;
    faults.withoutCapability(0, bHasMoveRename);
    CallRecorder calls;
    doc.moved = doc.ref;
    EXPECT_EQ(moveRename("renamed.txt", &doc.moved), paramErr);
    names = calls.names();
  }
  EXPECT_EQ(names, (std::vector<std::string>{"FSGetCatalogInfo", "PBHGetVolParmsSync"}));
  EXPECT_EQ(doc.wholeAt(doc.path), "");
}

TEST_P(MoveRename, AnotherVolumeAndAnUnconvertibleNameAreRefused) {
  TempDir other(GetParam() == "/tmp" ? "/dev/shm" : "/tmp");
  FSRef otherRef;
  ASSERT_EQ(refFor(other.path(), otherRef), noErr);
  doc.moved = doc.ref;
  EXPECT_EQ(FSMoveRename(&doc.ref, &otherRef, 0, nullptr, 0, &doc.moved), diffVolErr);
  {
    CallRecorder calls;
    EXPECT_EQ(moveRename("abcdefghijklmnopqrstuvwxyz012345", &doc.moved),
              kTECOutputBufferFullStatus);
    EXPECT_EQ(timesCalled(calls.names(), "PBHMoveRenameSync"), 0u);
  }
  EXPECT_EQ(doc.wholeAt(doc.path), "");
}

// One-byte names are in the system script's encoding: a Cyrillic name under
// a Cyrillic system script reaches the disk as itself.
TEST_P(MoveRename, ACyrillicNameUnderACyrillicSystemScript) {
  ScriptVariablesOverride system(smCyrillic, verRussia);
  ASSERT_EQ(moveRename("файл", &doc.moved), noErr);
  EXPECT_EQ(listing(doc.newDir), (std::vector<std::string>{"файл"}));
  EXPECT_EQ(pathOf(doc.moved), doc.newDir + "/файл");
}

// --- FSExchangeObjectsCompat ---------------------------------------------------

/// On ext4 and tmpfs, in one folder and in two.
class Exchange : public ::testing::TestWithParam<std::tuple<std::string, bool>> {
protected:
  Pair pair{std::get<0>(GetParam()), std::get<1>(GetParam())};
};

std::string layoutName(const std::string &base, bool twoFolders) {
  return (base == "/tmp" ? std::string("ext4") : std::string("tmpfs")) +
         (twoFolders ? "_TwoFolders" : "_OneFolder");
}

INSTANTIATE_TEST_SUITE_P(Layouts, Exchange,
                         ::testing::Combine(::testing::ValuesIn(bases()), ::testing::Bool()),
                         [](const auto &info) {
                           return layoutName(std::get<0>(info.param), std::get<1>(info.param));
                         });

TEST_P(Exchange, NativelyWhereTheVolumeCan) {
  std::vector<std::string> names;
  {
    CallRecorder calls;
    ASSERT_EQ(pair.exchange(), noErr);
    names = calls.names();
  }
  EXPECT_EQ(names, (std::vector<std::string>{"FSGetCatalogInfo", "PBHGetVolParmsSync",
                                             "FSExchangeObjects"}));
  EXPECT_EQ(pair.exchanged(), "");
  // Plain copies of the inputs: the places keep their references.
  EXPECT_EQ(std::memcmp(&pair.newSrc, &pair.src, sizeof(FSRef)), 0);
  EXPECT_EQ(std::memcmp(&pair.newDst, &pair.dst, sizeof(FSRef)), 0);
}

TEST_P(Exchange, ByTradingPlacesElsewhere) {
  std::vector<std::string> names;
  {
    FaultInjector faults;
    withoutNativeExchange(faults);
    CallRecorder calls;
    ASSERT_EQ(pair.exchange(), noErr);
    names = calls.names();
  }
  EXPECT_EQ(pair.exchanged(), "");
  EXPECT_EQ(timesCalled(names, "FSExchangeObjects"), 0u);
  EXPECT_EQ(timesCalled(names, "FSMoveObject"), pair.twoFolders ? 2u : 0u);
  EXPECT_EQ(timesCalled(names, "FSRenameUnicode"), 4u);
  // And back again: both whole.
  {
    FaultInjector faults;
    withoutNativeExchange(faults);
    pair.src = pair.newSrc;
    pair.dst = pair.newDst;
    ASSERT_EQ(pair.exchange(), noErr);
  }
  EXPECT_EQ(pair.whole(), "");
}

TEST_P(Exchange, OnlyFilesOfOneVolume) {
  FSRef folder;
  ASSERT_EQ(refFor(pair.a, folder), noErr);
  TempDir other(std::get<0>(GetParam()) == "/tmp" ? "/dev/shm" : "/tmp");
  writeFile(other / "elsewhere", "elsewhere");
  FSRef elsewhere;
  ASSERT_EQ(refFor(other / "elsewhere", elsewhere), noErr);
  for (bool native : {true, false}) {
    SCOPED_TRACE(native ? "native" : "fallback");
    FaultInjector faults;
    if (!native)
      withoutNativeExchange(faults);
    EXPECT_EQ(FSExchangeObjectsCompat(&pair.src, &folder, &pair.newSrc, &pair.newDst),
              notAFileErr);
    EXPECT_EQ(FSExchangeObjectsCompat(&folder, &pair.dst, &pair.newSrc, &pair.newDst),
              notAFileErr);
    EXPECT_EQ(FSExchangeObjectsCompat(&pair.src, &elsewhere, &pair.newSrc, &pair.newDst),
              diffVolErr);
    EXPECT_EQ(FSExchangeObjectsCompat(&pair.src, &pair.dst, nullptr, &pair.newDst), paramErr);
    EXPECT_EQ(FSExchangeObjectsCompat(&pair.src, &pair.dst, &pair.newSrc, nullptr), paramErr);
  }
  pair.newSrc = pair.src;
  pair.newDst = pair.dst;
  EXPECT_EQ(pair.whole(), "");
  EXPECT_EQ(readFile(other / "elsewhere"), "elsewhere");
}

/// A file of the pair taking catalog information: the other's, and in an
/// undo its own again.
CallMatcher writingInfo(const FSRef &file) {
  return callsTo(FMCall::FSSetCatalogInfo).onObject(file);
}

/// A forward step of the fallback, failed alone.
struct ExchangeStep {
  const char *what;
  CallMatcher (*step)(const Pair &);
  bool twoFoldersOnly;
};
const ExchangeStep kExchangeSteps[] = {
    {"SourceToItsTemporaryName",
     [](const Pair &p) { return renaming(p.src, kFirstTemporary); }, false},
    {"DestinationToItsTemporaryName",
     [](const Pair &p) { return renaming(p.dst, kSecondTemporary); }, false},
    {"SourceIntoTheOtherFolder", [](const Pair &p) { return moving(p.src, p.bRef); }, true},
    {"DestinationIntoTheOtherFolder", [](const Pair &p) { return moving(p.dst, p.aRef); }, true},
    {"SourceTakesTheOthersInformation", [](const Pair &p) { return writingInfo(p.src); }, false},
    {"DestinationTakesTheOthersInformation", [](const Pair &p) { return writingInfo(p.dst); },
     false},
    {"SourceToTheOthersName", [](const Pair &p) { return renaming(p.src, "beta.txt"); }, false},
    {"DestinationToTheOthersName", [](const Pair &p) { return renaming(p.dst, "alpha.txt"); },
     false},
};

class ExchangeFault
    : public ::testing::TestWithParam<std::tuple<std::string, bool, ExchangeStep>> {
protected:
  Pair pair{std::get<0>(GetParam()), std::get<1>(GetParam())};
};

std::vector<std::tuple<std::string, bool, ExchangeStep>> exchangeFaults() {
  std::vector<std::tuple<std::string, bool, ExchangeStep>> out;
  for (const std::string &base : bases())
    for (bool twoFolders : {false, true})
      for (const ExchangeStep &step : kExchangeSteps)
        if (twoFolders || !step.twoFoldersOnly)
          out.emplace_back(base, twoFolders, step);
  return out;
}

INSTANTIATE_TEST_SUITE_P(Steps, ExchangeFault, ::testing::ValuesIn(exchangeFaults()),
                         [](const auto &info) {
                           return layoutName(std::get<0>(info.param), std::get<1>(info.param)) +
                                  "_" + std::get<2>(info.param).what;
                         });

TEST_P(ExchangeFault, LeavesBothFilesWhole) {
  const ExchangeStep &step = std::get<2>(GetParam());
  {
    FaultInjector faults;
    withoutNativeExchange(faults);
    // The first call of the step: an undo may make the same call again (a
    // file takes back its own information just as it took the other's).
    faults.failNth(step.step(pair), 1, kInjected);
    EXPECT_EQ(pair.exchange(), kInjected);
  }
  EXPECT_EQ(pair.whole(), "");
}

/// A fallback exchange with two injected failures: a forward step and a
/// step of its undo.
OSErr exchangeFailing(Pair &pair, const CallMatcher &forward, const CallMatcher &undo) {
  FaultInjector faults;
  withoutNativeExchange(faults);
  faults.failWhen(forward, kInjected);
  faults.failWhen(undo, dupFNErr);
  return pair.exchange();
}

class ExchangeUndoFault : public ::testing::TestWithParam<std::string> {};
INSTANTIATE_TEST_SUITE_P(FileSystems, ExchangeUndoFault, ::testing::ValuesIn(bases()));

TEST_P(ExchangeUndoFault, SourcesNameNotGivenBackLeavesItUnderTheFirstTemporaryName) {
  // One folder; the destination's final rename fails, then the source's
  // rename to its own name in the undo: the source stays at home under the
  // first temporary name, with its own contents and information.
  Pair pair(GetParam(), false);
  EXPECT_EQ(exchangeFailing(pair, renaming(pair.dst, "alpha.txt"), renaming(pair.src, "alpha.txt")),
            kInjected);
  const std::string temporary = pair.a + "/" + kFirstTemporary;
  EXPECT_EQ(stateOf(temporary).str(), pair.srcWas.str());
  EXPECT_EQ(stateOf(pair.dstPath).str(), pair.dstWas.str());
  EXPECT_EQ(pair.folders(), "5675726E,beta.txt|5675726E,beta.txt");
  EXPECT_EQ(namesPath(pair.newSrc, temporary), "");
  EXPECT_EQ(namesPath(pair.newDst, pair.dstPath), "");
}

TEST_P(ExchangeUndoFault, SourceNotMovedBackStaysInTheOtherFolderUnderItsOwnName) {
  // Two folders; the destination's move fails, then the source's move home:
  // the later undo steps still give each file its own name, so the source
  // ends up in the destination's folder as alpha.txt.
  Pair pair(GetParam(), true);
  EXPECT_EQ(exchangeFailing(pair, moving(pair.dst, pair.aRef), moving(pair.src, pair.aRef)),
            kInjected);
  const std::string strayed = pair.b + "/alpha.txt";
  EXPECT_EQ(stateOf(strayed).str(), pair.srcWas.str());
  EXPECT_EQ(stateOf(pair.dstPath).str(), pair.dstWas.str());
  EXPECT_EQ(pair.folders(), "|alpha.txt,beta.txt");
  EXPECT_EQ(namesPath(pair.newSrc, strayed), "");
  EXPECT_EQ(namesPath(pair.newDst, pair.dstPath), "");
}

TEST_P(ExchangeUndoFault, DestinationsNameNotGivenBackLeavesItUnderTheSecondTemporaryName) {
  // Two folders; the source's final rename fails, then the destination's
  // rename to its own name: the destination is back in its folder, with its
  // own information, under the second temporary name.
  Pair pair(GetParam(), true);
  EXPECT_EQ(exchangeFailing(pair, renaming(pair.src, "beta.txt"), renaming(pair.dst, "beta.txt")),
            kInjected);
  const std::string temporary = pair.b + "/" + kSecondTemporary;
  EXPECT_EQ(stateOf(pair.srcPath).str(), pair.srcWas.str());
  EXPECT_EQ(stateOf(temporary).str(), pair.dstWas.str());
  EXPECT_EQ(pair.folders(), "alpha.txt|5675726F");
  EXPECT_EQ(namesPath(pair.newSrc, pair.srcPath), "");
  EXPECT_EQ(namesPath(pair.newDst, temporary), "");
}

TEST_P(ExchangeUndoFault, ACatalogWriteThatFailsPartWayIsTakenBack) {
  // A write of the other's information that changes some fields and then
  // fails: the file takes back its own before it goes home.
  for (bool twoFolders : {false, true}) {
    for (bool source : {true, false}) {
      SCOPED_TRACE(std::string(twoFolders ? "two folders" : "one folder") +
                   (source ? ", the source's write" : ", the destination's write"));
      Pair pair(GetParam(), twoFolders);
      FaultInjector faults;
      withoutNativeExchange(faults);
      // The file's first write, of the other's information; its second, in
      // the undo, takes back its own.
      const CallMatcher write = writingInfo(source ? pair.src : pair.dst);
      unsigned writes = 0;
      faults.failWhen(
          [&](const Call &call) {
            if (!write.matches(call) || ++writes != 1)
              return false;
            // Half of the other file's information, then the failure.
            FSCatalogInfo other{};
            std::memset(other.finderInfo, 0xEE, sizeof other.finderInfo);
            other.permissions.userID = kNobody;
            other.permissions.groupID = kNobody;
            other.permissions.mode = 0600;
            faults.inner().setCatalogInfo(call.ref, kFSCatInfoFinderInfo | kFSCatInfoPermissions,
                                          &other);
            return true;
          },
          kInjected);
      EXPECT_EQ(pair.exchange(), kInjected);
      EXPECT_EQ(pair.whole(), "");
    }
  }
}

// Without root's privileges (owner and group stay, so no change of owner is
// needed): the fallback's catalog writes and renames, and a failure undone.
TEST_P(ExchangeUndoFault, WithoutPrivilegesToo) {
  Pair pair(GetParam(), true);
  ASSERT_EQ(std::system(("chown -R 65534:65534 '" + pair.dir.path() + "'").c_str()), 0);
  pair.snapshot();
  int failed = asNobody([&] {
    FaultInjector faults;
    withoutNativeExchange(faults);
    if (pair.exchange() != noErr || !pair.exchanged().empty())
      return 1;
    pair.src = pair.newSrc;
    pair.dst = pair.newDst;
    if (pair.exchange() != noErr || !pair.whole().empty())
      return 2;
    pair.src = pair.newSrc;
    pair.dst = pair.newDst;
    faults.failWhen(renaming(pair.dst, "alpha.txt"), kInjected); // the destination's last step
    if (pair.exchange() != kInjected || !pair.whole().empty())
      return 3;
    return 0;
  });
  EXPECT_EQ(failed, 0);
  pair.newSrc = pair.src;
  pair.newDst = pair.dst;
  EXPECT_EQ(pair.whole(), "");
}

} // namespace
