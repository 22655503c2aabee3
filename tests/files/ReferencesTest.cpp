// References, paths and names: the File Manager calls each operation makes
// (pinned with the call recorder), the encoding-hint fallback (pinned with
// the text layer's recorder), and conversions between the ways of naming an
// object on real files.
#include <FileUtilities.h>

#include "platform/filemanager/testing/FileManagerTesting.h"
#include "platform/text/TextTesting.h"
#include "tests/platform/filemanager/FileManagerTestSupport.h"

#include <sys/stat.h>
#include <vector>

using namespace fmtest;
using quillmate::fm::testing::CallRecorder;
using quillmate::fm::testing::FMCall;
using quillmate::text::testing::ConverterCreationFailureScope;
using quillmate::text::testing::EncodingChoiceRecorder;
using quillmate::text::testing::ScriptVariablesOverride;

namespace {

std::string bytesOf(const unsigned char *pascal) {
  return std::string(reinterpret_cast<const char *>(pascal + 1), pascal[0]);
}

OSErr toHFS(const std::u16string &name, TextEncoding hint, Str31 out, bool volume = false) {
  return UnicodeNameGetHFSName(name.size(), units(name), hint, volume, out);
}

// --- Name conversion ---------------------------------------------------------

TEST(NameConversion, RoundTripsThroughMacRomanInDecomposedForm) {
  Str31 hfs;
  ASSERT_EQ(toHFS(u16("café"), kTextEncodingMacRoman, hfs), noErr);
  EXPECT_EQ(bytesOf(hfs), "caf\x8E");
  HFSUniStr255 back;
  ASSERT_EQ(HFSNameGetUnicodeName(hfs, kTextEncodingMacRoman, &back), noErr);
  EXPECT_EQ(fromUni(back), u16("cafe\xCC\x81")); // U+0301 after the e
  // Decomposed input gives the same bytes.
  ASSERT_EQ(toHFS(u16("cafe\xCC\x81"), kTextEncodingMacRoman, hfs), noErr);
  EXPECT_EQ(bytesOf(hfs), "caf\x8E");
}

TEST(NameConversion, FailuresLeaveTheOutputEmptyAndReturnTheConvertersStatus) {
  Str31 hfs;
  // Longer than 31 bytes for a file, 27 for a volume.
  hfs[0] = 9;
  EXPECT_EQ(toHFS(u16(std::string(32, 'x').c_str()), kTextEncodingMacRoman, hfs),
            kTECOutputBufferFullStatus);
  EXPECT_EQ(hfs[0], 0);
  ASSERT_EQ(toHFS(u16(std::string(31, 'x').c_str()), kTextEncodingMacRoman, hfs), noErr);
  EXPECT_EQ(hfs[0], 31);
  EXPECT_EQ(toHFS(u16(std::string(28, 'x').c_str()), kTextEncodingMacRoman, hfs, true),
            kTECOutputBufferFullStatus);
  EXPECT_EQ(hfs[0], 0);
  ASSERT_EQ(toHFS(u16(std::string(27, 'x').c_str()), kTextEncodingMacRoman, hfs, true), noErr);
  EXPECT_EQ(hfs[0], 27);
  // No Mac Roman form.
  hfs[0] = 3;
  EXPECT_NE(toHFS(u16("日本"), kTextEncodingMacRoman, hfs), noErr);
  EXPECT_EQ(hfs[0], 0);
  // A converter that cannot be made.
  {
    ConverterCreationFailureScope failing(kTECNoConversionPathErr);
    hfs[0] = 3;
    EXPECT_EQ(toHFS(u16("a"), kTextEncodingMacRoman, hfs), kTECNoConversionPathErr);
    EXPECT_EQ(hfs[0], 0);
    HFSUniStr255 name;
    const unsigned char one[] = {1, 'a'};
    name.length = 4;
    EXPECT_EQ(HFSNameGetUnicodeName(one, kTextEncodingMacRoman, &name), kTECNoConversionPathErr);
    EXPECT_EQ(name.length, 0);
  }
}

TEST(NameConversion, EmptyNamesNeedNoEncodingAtAll) {
  EncodingChoiceRecorder choices;
  ConverterCreationFailureScope failing(kTECNoConversionPathErr); // any creation would fail
  Str31 hfs;
  hfs[0] = 7;
  EXPECT_EQ(UnicodeNameGetHFSName(0, nullptr, kTextEncodingUnknown, false, hfs), noErr);
  EXPECT_EQ(hfs[0], 0);
  HFSUniStr255 name;
  name.length = 7;
  const unsigned char empty[] = {0};
  EXPECT_EQ(HFSNameGetUnicodeName(empty, kTextEncodingUnknown, &name), noErr);
  EXPECT_EQ(name.length, 0);
  EXPECT_TRUE(choices.calls().empty());
}

TEST(NameConversion, NullOutputsAndNamesAreRefused) {
  const UniChar a = 'a';
  EXPECT_EQ(UnicodeNameGetHFSName(1, &a, kTextEncodingMacRoman, false, nullptr), paramErr);
  const unsigned char one[] = {1, 'a'};
  EXPECT_EQ(HFSNameGetUnicodeName(one, kTextEncodingMacRoman, nullptr), paramErr);
  HFSUniStr255 name;
  EXPECT_EQ(HFSNameGetUnicodeName(nullptr, kTextEncodingMacRoman, &name), paramErr);
}

TEST(NameConversion, ALengthBytePastAStr31IsRefusedUnread) {
  // Each name alone in a buffer of a Str31's size, whatever its length byte.
  for (unsigned length : {31u, 32u, 200u, 255u}) {
    std::vector<unsigned char> hfs(sizeof(Str31), 'a');
    hfs[0] = static_cast<unsigned char>(length);
    HFSUniStr255 name;
    name.length = 9;
    EXPECT_EQ(HFSNameGetUnicodeName(hfs.data(), kTextEncodingMacRoman, &name),
              length <= 31 ? OSErr(noErr) : OSErr(paramErr))
        << length;
    EXPECT_EQ(name.length, length <= 31 ? length : 0) << length;
  }
}

// --- The encoding hint ---------------------------------------------------------

// "файл" in Mac Cyrillic.
const std::string kCyrillicFile = "\xF4\xE0\xE9\xEB";

TEST(EncodingHint, UnknownAsksForTheSystemScriptInItsRegion) {
  ScriptVariablesOverride system(smCyrillic, verRussia);
  EncodingChoiceRecorder choices;
  Str31 hfs;
  ASSERT_EQ(toHFS(u16("файл"), kTextEncodingUnknown, hfs), noErr);
  EXPECT_EQ(bytesOf(hfs), kCyrillicFile);
  ASSERT_EQ(choices.calls().size(), 1u);
  EXPECT_EQ(choices.calls()[0].script, smCyrillic);
  EXPECT_EQ(choices.calls()[0].language, kTextLanguageDontCare);
  EXPECT_EQ(choices.calls()[0].region, verRussia);
  // And back.
  HFSUniStr255 back;
  ASSERT_EQ(HFSNameGetUnicodeName(hfs, kTextEncodingUnknown, &back), noErr);
  EXPECT_EQ(fromUni(back), u16("фаи\xCC\x86л")); // й decomposes to и + U+0306
  EXPECT_EQ(choices.calls().size(), 2u);
}

TEST(EncodingHint, ARegionRefusedWithParamErrIsRetriedAsAnyRegion) {
  ScriptVariablesOverride system(smCyrillic, 500); // no such region: paramErr
  EncodingChoiceRecorder choices;
  Str31 hfs;
  ASSERT_EQ(toHFS(u16("файл"), kTextEncodingUnknown, hfs), noErr);
  EXPECT_EQ(bytesOf(hfs), kCyrillicFile);
  ASSERT_EQ(choices.calls().size(), 2u);
  EXPECT_EQ(choices.calls()[0].region, 500);
  EXPECT_EQ(choices.calls()[0].result, paramErr);
  EXPECT_EQ(choices.calls()[1].script, smCyrillic);
  EXPECT_EQ(choices.calls()[1].region, kTextRegionDontCare);
  EXPECT_EQ(choices.calls()[1].result, noErr);
}

TEST(EncodingHint, WhenTheDecidingCallFailsMacRomanIsUsed) {
  ScriptVariablesOverride system(smCyrillic, verRussia);
  Str31 hfs;
  {
    // Both calls refused with paramErr: "café" has a Mac Roman form and no
    // Mac Cyrillic one.
    EncodingChoiceRecorder choices;
    choices.failNth(1, paramErr);
    choices.failNth(2, paramErr);
    ASSERT_EQ(toHFS(u16("café"), kTextEncodingUnknown, hfs), noErr);
    EXPECT_EQ(bytesOf(hfs), "caf\x8E");
    ASSERT_EQ(choices.calls().size(), 2u);
    EXPECT_EQ(choices.calls()[1].region, kTextRegionDontCare);
  }
  {
    // A failure other than paramErr goes straight to Mac Roman.
    EncodingChoiceRecorder choices;
    choices.failNth(1, kTextUnsupportedEncodingErr);
    ASSERT_EQ(toHFS(u16("café"), kTextEncodingUnknown, hfs), noErr);
    EXPECT_EQ(bytesOf(hfs), "caf\x8E");
    ASSERT_EQ(choices.calls().size(), 1u);
    EXPECT_EQ(choices.calls()[0].result, kTextUnsupportedEncodingErr);
  }
}

TEST(EncodingHint, AGivenHintIsUsedAsItIs) {
  ScriptVariablesOverride system(smRoman, verUS);
  EncodingChoiceRecorder choices;
  Str31 hfs;
  ASSERT_EQ(toHFS(u16("файл"), kTextEncodingMacCyrillic, hfs), noErr);
  EXPECT_EQ(bytesOf(hfs), kCyrillicFile);
  EXPECT_TRUE(choices.calls().empty());
}

// --- Calls made ----------------------------------------------------------------

class Calls : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    ASSERT_EQ(createFile(root_, "file", &file_), noErr);
  }
  FSRef file_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, Calls, ::testing::ValuesIn(bases()));

TEST_P(Calls, ANullRequiredOutputReachesNoPlatformCall) {
  CallRecorder calls;
  const unsigned char name[] = {4, 'f', 'i', 'l', 'e'};
  const UInt8 *path = reinterpret_cast<const UInt8 *>("/tmp");
  EXPECT_EQ(FSRefMakeFSSpec(&file_, nullptr), paramErr);
  EXPECT_EQ(FSMakeFSRef(-1, fsRtDirID, name, nullptr), paramErr);
  EXPECT_EQ(FSPathMakeFSSpec(path, nullptr, nullptr), paramErr);
  EXPECT_EQ(FSGetParentRef(&file_, nullptr), paramErr);
  EXPECT_EQ(FSGetFileDirName(&file_, nullptr), paramErr);
  EXPECT_EQ(FSMapID(0, 0, kOwnerID2Name, nullptr), paramErr);
  EXPECT_EQ(FSMapName(0, name, kOwnerName2ID, nullptr), paramErr);
  EXPECT_EQ(FSCreateFileIDRef(&file_, nullptr), paramErr);
  EXPECT_EQ(FSMakePath(0, fsRtDirID, nullptr, nullptr, 100), paramErr);
  EXPECT_EQ(FSResolveFileIDRef(0, 20, nullptr), paramErr);
  EXPECT_TRUE(calls.calls().empty());
}

TEST_P(Calls, CatalogReadsAskOnlyForWhatIsWanted) {
  CallRecorder calls;
  SInt32 id = 0;
  Boolean isDir = true;
  ASSERT_EQ(FSGetNodeID(&file_, nullptr, nullptr), noErr);
  ASSERT_EQ(FSGetNodeID(&file_, &id, nullptr), noErr);
  ASSERT_EQ(FSGetNodeID(&file_, nullptr, &isDir), noErr);
  ASSERT_EQ(FSGetNodeID(&file_, &id, &isDir), noErr);
  FSSpec spec;
  HFSUniStr255 name;
  FSRef parent;
  ASSERT_EQ(FSRefMakeFSSpec(&file_, &spec), noErr);
  ASSERT_EQ(FSGetFileDirName(&file_, &name), noErr);
  ASSERT_EQ(FSGetParentRef(&file_, &parent), noErr);
  EXPECT_TRUE(FSRefValid(&file_));

  const auto &c = calls.calls();
  ASSERT_EQ(c.size(), 8u);
  for (const auto &call : c)
    EXPECT_EQ(call.call, FMCall::FSGetCatalogInfo);
  // Pointer arguments: ref, record, name, FSSpec, parent.
  EXPECT_EQ(c[0].bitmap, 0u);
  EXPECT_EQ(c[1].bitmap, UInt32(kFSCatInfoNodeID));
  EXPECT_EQ(c[2].bitmap, UInt32(kFSCatInfoNodeFlags));
  EXPECT_EQ(c[3].bitmap, UInt32(kFSCatInfoNodeID | kFSCatInfoNodeFlags));
  EXPECT_EQ(c[4].bitmap, 0u);
  EXPECT_EQ(c[4].nulls, 0b10110u); // only the FSSpec
  EXPECT_EQ(c[5].nulls, 0b11010u); // only the name
  EXPECT_EQ(c[6].bitmap, UInt32(kFSCatInfoNodeID));
  EXPECT_EQ(c[6].nulls, 0b01100u); // record and parent
  EXPECT_EQ(c[7].bitmap, 0u);
  EXPECT_EQ(c[7].nulls, 0b11110u); // nothing but the reference
  EXPECT_FALSE(isDir);
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "file").c_str(), &st), 0);
  EXPECT_EQ(static_cast<UInt32>(id), st.st_ino);
}

TEST_P(Calls, FailedReadsWriteNoOutput) {
  ASSERT_EQ(::unlink((dir_ / "file").c_str()), 0);
  SInt32 id = 77;
  Boolean isDir = 5;
  EXPECT_EQ(FSGetNodeID(&file_, &id, &isDir), fnfErr);
  EXPECT_EQ(id, 77);
  EXPECT_EQ(isDir, 5);
  EXPECT_EQ(FSGetNodeID(&file_, nullptr, nullptr), fnfErr);
  EXPECT_FALSE(FSRefValid(&file_));
  FSRef zero{};
  EXPECT_FALSE(FSRefValid(&zero));
}

// --- Conversions on real files -------------------------------------------------

class References : public OnEachFileSystem {};
INSTANTIATE_TEST_SUITE_P(FileSystems, References, ::testing::ValuesIn(bases()));

TEST_P(References, SpecsTriplesPathsAndRefsNameTheSameObject) {
  ScriptVariablesOverride roman(smRoman, verUS); // FSSpec names are in the system script
  FSRef folder, file;
  ASSERT_EQ(createDir(root_, "folder", &folder), noErr);
  ASSERT_EQ(createFile(folder, "café", &file), noErr);

  FSSpec spec;
  ASSERT_EQ(FSRefMakeFSSpec(&file, &spec), noErr);
  EXPECT_EQ(bytesOf(spec.name), "caf\x8E");
  FSRef again;
  ASSERT_EQ(FSMakeFSRef(spec.vRefNum, spec.parID, spec.name, &again), noErr);
  EXPECT_EQ(FSCompareFSRefs(&again, &file), noErr);
  // No name: the folder itself.
  ASSERT_EQ(FSMakeFSRef(spec.vRefNum, spec.parID, nullptr, &again), noErr);
  EXPECT_EQ(FSCompareFSRefs(&again, &folder), noErr);
  const unsigned char missing[] = {7, 'm', 'i', 's', 's', 'i', 'n', 'g'};
  EXPECT_EQ(FSMakeFSRef(spec.vRefNum, spec.parID, missing, &again), fnfErr);

  // Paths, both ways.
  FSSpec fromPath;
  Boolean isDir = true;
  std::string path = dir_ / "folder/café";
  ASSERT_EQ(FSPathMakeFSSpec(reinterpret_cast<const UInt8 *>(path.c_str()), &fromPath, &isDir),
            noErr);
  EXPECT_FALSE(isDir);
  // Packed fields are compared through copies.
  EXPECT_EQ(SInt16{fromPath.vRefNum}, SInt16{spec.vRefNum});
  EXPECT_EQ(SInt32{fromPath.parID}, SInt32{spec.parID});
  EXPECT_EQ(bytesOf(fromPath.name), bytesOf(spec.name));
  ASSERT_EQ(FSPathMakeFSSpec(reinterpret_cast<const UInt8 *>(dir_.path().c_str()), &fromPath,
                             nullptr),
            noErr);
  std::string nowhere = dir_ / "nowhere/else";
  EXPECT_EQ(FSPathMakeFSSpec(reinterpret_cast<const UInt8 *>(nowhere.c_str()), &fromPath, nullptr),
            fnfErr);

  UInt8 buffer[4096];
  ASSERT_EQ(FSMakePath(spec.vRefNum, spec.parID, spec.name, buffer, sizeof buffer), noErr);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer)), path);
  ASSERT_EQ(FSMakePath(spec.vRefNum, spec.parID, nullptr, buffer, sizeof buffer), noErr);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer)), dir_ / "folder");
  // A buffer too small: the platform's status, whole.
  EXPECT_EQ(FSMakePath(spec.vRefNum, spec.parID, spec.name, buffer, 8), errFSNameTooLong);
  EXPECT_EQ(FSMakePath(spec.vRefNum, spec.parID, missing, buffer, sizeof buffer), fnfErr);
}

TEST_P(References, ParentsNamesAndNodeIDs) {
  FSRef folder, file, parent;
  ASSERT_EQ(createDir(root_, "folder", &folder), noErr);
  ASSERT_EQ(createFile(folder, "a file", &file), noErr);

  ASSERT_EQ(FSGetParentRef(&file, &parent), noErr);
  EXPECT_EQ(FSCompareFSRefs(&parent, &folder), noErr);
  ASSERT_EQ(FSGetParentRef(&folder, &parent), noErr);
  EXPECT_EQ(FSCompareFSRefs(&parent, &root_), noErr);

  // A volume's root has no parent.
  FSRef volumeRoot;
  ASSERT_EQ(FSGetVolumeInfo(0, 1, nullptr, kFSVolInfoNone, nullptr, nullptr, &volumeRoot), noErr);
  std::memset(&parent, 0xAB, sizeof parent);
  ASSERT_EQ(FSGetParentRef(&volumeRoot, &parent), noErr);
  FSRef zero{};
  EXPECT_EQ(std::memcmp(&parent, &zero, sizeof zero), 0);

  HFSUniStr255 name;
  ASSERT_EQ(FSGetFileDirName(&file, &name), noErr);
  EXPECT_EQ(fromUni(name), u16("a file"));

  SInt32 id = 0;
  Boolean isDir = false;
  ASSERT_EQ(FSGetNodeID(&folder, &id, &isDir), noErr);
  EXPECT_TRUE(isDir);
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "folder").c_str(), &st), 0);
  EXPECT_EQ(static_cast<UInt32>(id), st.st_ino);
  ASSERT_EQ(FSGetNodeID(&volumeRoot, &id, nullptr), noErr);
  EXPECT_EQ(id, fsRtDirID);
}

TEST_P(References, FileIDsAndOpenForks) {
  FSRef file, folder;
  ASSERT_EQ(createFile(root_, "doc", &file), noErr);
  ASSERT_EQ(createDir(root_, "dir", &folder), noErr);

  SInt32 id = 0, again = 0;
  ASSERT_EQ(FSCreateFileIDRef(&file, &id), noErr);
  // A second time: the status says it exists, and the ID still comes back.
  EXPECT_EQ(FSCreateFileIDRef(&file, &again), fidExists);
  EXPECT_EQ(again, id);
  SInt32 untouched = 5;
  EXPECT_EQ(FSCreateFileIDRef(&folder, &untouched), notAFileErr);
  EXPECT_EQ(untouched, 5);

  FSSpec spec;
  ASSERT_EQ(FSRefMakeFSSpec(&file, &spec), noErr);
  FSRef resolved;
  ASSERT_EQ(FSResolveFileIDRef(spec.vRefNum, id, &resolved), noErr);
  EXPECT_EQ(FSCompareFSRefs(&resolved, &file), noErr);
  EXPECT_EQ(FSResolveFileIDRef(spec.vRefNum, 0x7FFFFFF0, &resolved), fnfErr);

  FSIORefNum fork;
  ASSERT_EQ(FSOpenFork(&file, 0, nullptr, fsRdPerm, &fork), noErr);
  FSRef ofFork;
  EXPECT_EQ(FileRefNumGetFSRef(fork, &ofFork), noErr);
  EXPECT_EQ(FSCompareFSRefs(&ofFork, &file), noErr);
  ASSERT_EQ(FSCloseFork(fork), noErr);
  EXPECT_EQ(FileRefNumGetFSRef(fork, &ofFork), rfNumErr);
}

TEST(UsersAndGroups, IDsAndNamesMapBothWays) {
  Str31 name;
  ASSERT_EQ(FSMapID(0, 0, kOwnerID2Name, name), noErr);
  EXPECT_EQ(bytesOf(name), "root");
  ASSERT_EQ(FSMapID(0, 0, kGroupID2Name, name), noErr);
  EXPECT_EQ(bytesOf(name), "root");
  ASSERT_EQ(FSMapID(0, 65534, kOwnerID2Name, name), noErr);
  EXPECT_EQ(bytesOf(name), "nobody");

  const unsigned char nobody[] = {6, 'n', 'o', 'b', 'o', 'd', 'y'};
  SInt32 id = 0;
  ASSERT_EQ(FSMapName(0, nobody, kOwnerName2ID, &id), noErr);
  EXPECT_EQ(id, 65534);
  const unsigned char unknown[] = {9, 'n', 'o', '-', 's', 'u', 'c', 'h', 'o', 'n'};
  id = 42;
  EXPECT_EQ(FSMapName(0, unknown, kOwnerName2ID, &id), fnfErr);
  EXPECT_EQ(id, 42); // untouched on failure
  // The type code passes through: the platform decides.
  EXPECT_EQ(FSMapID(0, 0, 77, name), paramErr);
}

// A name converted for the system script reaches its file through the
// one-byte calls: the File Manager reads one-byte names in the same encoding.
TEST(NameConversion, ASystemScriptNameReachesItsFile) {
  ScriptVariablesOverride system(smCyrillic, verRussia);
  TempDir dir;
  writeFile(dir / "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb", "x"); // файл
  FSRef folder, file, reached;
  ASSERT_EQ(refFor(dir.path(), folder), noErr);
  ASSERT_EQ(refFor(dir / "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb", file), noErr);
  FSVolumeRefNum volume = 0;
  SInt32 dirID = 0;
  ASSERT_EQ(folderIDs(folder, volume, dirID), noErr);
  Str31 hfs;
  ASSERT_EQ(toHFS(u16("файл"), kTextEncodingUnknown, hfs), noErr);
  ASSERT_EQ(FSMakeFSRef(volume, dirID, hfs, &reached), noErr);
  EXPECT_EQ(FSCompareFSRefs(&reached, &file), noErr);
}

} // namespace
