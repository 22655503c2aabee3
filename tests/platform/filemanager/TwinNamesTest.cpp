// Names that are one name to a user and two to the file system: a name and
// its other Unicode normalization form ("caf\u00e9" and "cafe\u0301"), the
// one not in NFC made by another program with plain POSIX calls.  The layer
// answers such a name as the object that is on disk, refuses to give an
// object a name whose other form is taken, and gives each of two such names
// already on disk a one-byte name that finds it.
#include "FileManagerTestSupport.h"

#include <algorithm>
#include <dirent.h>
#include <tuple>

using namespace fmtest;

namespace {

// "cr\u00e8me br\u00fbl\u00e9e" in its forms on disk and in Mac OS Roman.
const char kComposed[] = "cr\xc3\xa8me br\xc3\xbbl\xc3\xa9" "e";
const char kDecomposed[] = "cre\xcc\x80me bru\xcc\x82le\xcc\x81" "e";
const char16_t kComposedApi[] = u"cr\u00e8me br\u00fbl\u00e9e";
// In neither form: the first accent composed, the others not.
const char16_t kMixedApi[] = u"cr\u00e8me bru\u0302le\u0301e";
const char kMixed[] = "cr\xc3\xa8me bru\xcc\x82le\xcc\x81" "e";
unsigned char kOneByte[] = "\x0c" "cr\x8fme br\x9el\x8e" "e";

ino_t inodeAt(const std::string &path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

ino_t inodeOf(const FSRef &ref) { return inodeAt(pathOf(ref)); }

/// Every entry under `folder` as "path inode", sorted: what a refused call
/// leaves as it was.
void snapshot(const std::string &folder, std::vector<std::string> &out,
              const std::string &prefix = "") {
  DIR *d = ::opendir(folder.c_str());
  if (!d)
    return;
  while (const dirent *e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..")
      continue;
    out.push_back(prefix + name + " " + std::to_string(e->d_ino));
    if (e->d_type == DT_DIR)
      snapshot(folder + "/" + name, out, prefix + name + "/");
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
}

std::vector<std::string> snapshot(const std::string &folder) {
  std::vector<std::string> out;
  snapshot(folder, out);
  return out;
}

/// The object an FSSpec names.
OSErr refOfSpec(FSSpec spec, FSRef &ref) {
  FSRefParam pb{};
  pb.ioVRefNum = spec.vRefNum;
  pb.ioDirID = spec.parID;
  pb.ioNamePtr = spec.name;
  pb.newRef = &ref;
  return PBMakeFSRefSync(&pb);
}

/// A fresh folder on each file system for each case of a table (`Case` has
/// a `label`), filled by populate() with POSIX calls before the layer first
/// meets it.
template <class Case>
class EachCase : public ::testing::TestWithParam<std::tuple<std::string, Case>> {
protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_NO_FATAL_FAILURE(populate());
    ASSERT_EQ(refFor(dir_.path(), root_), noErr);
  }
  virtual void populate() = 0;
  const Case &which() const { return std::get<1>(this->GetParam()); }

  TempDir dir_{std::get<0>(this->GetParam())};
  FSRef root_;
};

/// The name of a case and its file system, for INSTANTIATE_TEST_SUITE_P.
struct CaseName {
  template <class Info> std::string operator()(const Info &info) const {
    return std::string(std::get<1>(info.param).label) +
           (std::get<0>(info.param) == "/tmp" ? "_ext4" : "_tmpfs");
  }
};

// --- Giving an object a name whose other form is taken ----------------------

/// The calls that give an object a name in a folder, each asked for the
/// composed name (or, CreateFileMixed, a form in neither) in a folder that
/// holds the decomposed one.
enum class Giving {
  CreateFile,
  CreateFileMixed,
  CreateFolder,
  Rename,
  Move,
  MoveRename,
  MoveRenameKeepingName,
  Copy,
  CopyKeepingName,
};

struct Gift {
  const char *label;
  Giving call;
};

const Gift kGifts[] = {
    {"CreateFile", Giving::CreateFile},
    {"CreateFileMixed", Giving::CreateFileMixed},
    {"CreateFolder", Giving::CreateFolder},
    {"Rename", Giving::Rename},
    {"Move", Giving::Move},
    {"MoveRename", Giving::MoveRename},
    {"MoveRenameKeepingName", Giving::MoveRenameKeepingName},
    {"Copy", Giving::Copy},
    {"CopyKeepingName", Giving::CopyKeepingName},
};

void PrintTo(const Gift &g, std::ostream *os) { *os << g.label; }

class TakenOtherForm : public EachCase<Gift> {
protected:
  /// The folder: the decomposed name (a file), "x", and "sub" with the
  /// composed name and "y" in it, all made with POSIX calls.
  void populate() override {
    writeFile(dir_ / kDecomposed, "theirs");
    writeFile(dir_ / "x", "x");
    ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
    writeFile(dir_ / "sub" + "/" + kComposed, "sub");
    writeFile(dir_ / "sub/y", "y");
  }

  OSErr give() {
    const std::u16string composed = kComposedApi, mixed = kMixedApi;
    FSRef ref;
    FSSpec spec;
    HParamBlockRec pb;
    switch (which().call) {
    case Giving::CreateFile:
      return FSCreateFileUnicode(&root_, composed.size(), units(composed), kFSCatInfoNone,
                                 nullptr, nullptr, nullptr);
    case Giving::CreateFileMixed:
      return FSCreateFileUnicode(&root_, mixed.size(), units(mixed), kFSCatInfoNone, nullptr,
                                 nullptr, nullptr);
    case Giving::CreateFolder:
      return FSCreateDirectoryUnicode(&root_, composed.size(), units(composed), kFSCatInfoNone,
                                      nullptr, nullptr, nullptr, nullptr);
    case Giving::Rename:
      EXPECT_EQ(refFor(dir_ / "x", ref), noErr);
      return FSRenameUnicode(&ref, composed.size(), units(composed), kTextEncodingUnknown,
                             nullptr);
    case Giving::Move:
      EXPECT_EQ(refFor(dir_ / "sub" + "/" + kComposed, ref), noErr);
      return FSMoveObject(&ref, &root_, nullptr);
    case Giving::MoveRename:
    case Giving::Copy:
      EXPECT_EQ(refFor(dir_ / "sub/y", ref), noErr);
      spec = specOf(ref);
      pb = copyBlock(spec, root_, kOneByte);
      return which().call == Giving::Copy ? PBHCopyFileSync(&pb) : PBHMoveRenameSync(&pb);
    case Giving::MoveRenameKeepingName:
    case Giving::CopyKeepingName:
      EXPECT_EQ(refFor(dir_ / "sub" + "/" + kComposed, ref), noErr);
      spec = specOf(ref);
      pb = copyBlock(spec, root_, nullptr);
      return which().call == Giving::CopyKeepingName ? PBHCopyFileSync(&pb)
                                                     : PBHMoveRenameSync(&pb);
    }
    return paramErr;
  }
};

INSTANTIATE_TEST_SUITE_P(FileSystems, TakenOtherForm,
                         ::testing::Combine(::testing::ValuesIn(bases()),
                                            ::testing::ValuesIn(kGifts)),
                         CaseName());

TEST_P(TakenOtherForm, IsRefusedAndNothingChanges) {
  const std::vector<std::string> before = snapshot(dir_.path());
  EXPECT_EQ(give(), dupFNErr);
  EXPECT_EQ(snapshot(dir_.path()), before);
  EXPECT_EQ(readFile(dir_ / kDecomposed), "theirs");
}

// --- Looking up a name whose other form is on disk ---------------------------

struct OtherForm {
  const char *label;
  const char *onDisk;     // made with POSIX calls: a folder with "f" in it
  std::u16string given;   // asked for through the layer
  const char *givenPath;  // the same as a path component
  StringPtr oneByte;      // its one-byte form, when it has one
};

const OtherForm kOtherForms[] = {
    {"DecomposedOnDisk", kDecomposed, kComposedApi, kComposed, kOneByte},
    {"ComposedOnDisk", kComposed, u"cre\u0300me bru\u0302le\u0301e", kDecomposed, kOneByte},
    // Hangul: a syllable and its three letters.
    {"HangulDecomposedOnDisk", "\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab", u"\ud55c", "\xed\x95\x9c",
     nullptr},
    // A byte that is not UTF-8 stays as it is in either form.
    {"NotUTF8ComposedOnDisk", "\xff\xc3\xa9", u"\xdcff" u"e\u0301", "\xff" "e\xcc\x81", nullptr},
};

void PrintTo(const OtherForm &f, std::ostream *os) { *os << f.label; }

class OtherFormOnDisk : public EachCase<OtherForm> {
protected:
  void populate() override {
    ASSERT_EQ(::mkdir((dir_ / form().onDisk).c_str(), 0755), 0);
    writeFile(dir_ / form().onDisk + "/f", "f");
  }
  const OtherForm &form() const { return which(); }
};

INSTANTIATE_TEST_SUITE_P(FileSystems, OtherFormOnDisk,
                         ::testing::Combine(::testing::ValuesIn(bases()),
                                            ::testing::ValuesIn(kOtherForms)),
                         CaseName());

TEST_P(OtherFormOnDisk, LookupsFindTheObjectThere) {
  const ino_t onDisk = inodeAt(dir_ / form().onDisk);
  const ino_t inside = inodeAt(dir_ / form().onDisk + "/f");
  FSRef found;
  ASSERT_EQ(FSMakeFSRefUnicode(&root_, form().given.size(), units(form().given),
                               kTextEncodingUnknown, &found),
            noErr);
  EXPECT_EQ(inodeOf(found), onDisk);
  // Paths, at the end and in the middle.
  ASSERT_EQ(refFor(dir_ / form().givenPath, found), noErr);
  EXPECT_EQ(inodeOf(found), onDisk);
  ASSERT_EQ(refFor(dir_ / form().givenPath + "/f", found), noErr);
  EXPECT_EQ(inodeOf(found), inside);
  EXPECT_EQ(refFor(dir_ / form().givenPath + "/missing", found), fnfErr);
  // A one-byte name.
  if (form().oneByte) {
    FSSpec spec{};
    FSVolumeRefNum volume = 0;
    SInt32 folder = 0;
    ASSERT_EQ(folderIDs(root_, volume, folder), noErr);
    spec.vRefNum = volume;
    spec.parID = folder;
    std::memcpy(spec.name, form().oneByte, form().oneByte[0] + 1u);
    ASSERT_EQ(refOfSpec(spec, found), noErr);
    EXPECT_EQ(inodeOf(found), onDisk);
  }
  // The object may take the given form itself: a change of form only.
  ASSERT_EQ(FSMakeFSRefUnicode(&root_, form().given.size(), units(form().given),
                               kTextEncodingUnknown, &found),
            noErr);
  ASSERT_EQ(FSRenameUnicode(&found, form().given.size(), units(form().given),
                            kTextEncodingUnknown, &found),
            noErr);
  EXPECT_EQ(inodeOf(found), onDisk);
  EXPECT_EQ(snapshot(dir_.path()).size(), 2u);
}

// --- Two such names on disk --------------------------------------------------

struct Twins {
  const char *label;
  const char *composed; // null: the other name is alone
  const char *other;
};

const Twins kTwins[] = {
    {"ComposedAndDecomposed", kComposed, kDecomposed},
    {"ComposedAndMixed", kComposed, kMixed},
    {"MixedAlone", nullptr, kMixed},
};

void PrintTo(const Twins &t, std::ostream *os) { *os << t.label; }

class TwinsOnDisk : public EachCase<Twins> {
protected:
  void populate() override {
    if (which().composed)
      writeFile(dir_ / which().composed, "composed");
    writeFile(dir_ / which().other, "other");
  }
};

INSTANTIATE_TEST_SUITE_P(FileSystems, TwinsOnDisk,
                         ::testing::Combine(::testing::ValuesIn(bases()),
                                            ::testing::ValuesIn(kTwins)),
                         CaseName());

TEST_P(TwinsOnDisk, EachIsListedAndEachFSSpecFindsItsOwnFile) {
  const Listing listed = listFolder(root_, 4);
  ASSERT_EQ(listed.refs.size(), which().composed ? 2u : 1u);
  for (size_t i = 0; i < listed.refs.size(); ++i) {
    const FSRef &ref = listed.refs[i];
    const FSSpec &spec = listed.specs[i];
    const HFSUniStr255 &name = listed.names[i];
    const std::string path = pathOf(ref), folder = pathOf(root_) + "/";
    const bool isComposed = which().composed && path == folder + which().composed;
    SCOPED_TRACE(isComposed ? "composed" : "other");
    ASSERT_EQ(path, folder + (isComposed ? which().composed : which().other));
    const ino_t own = inodeAt(path);
    // Its name as it is on disk, and back to it.
    FSRef found;
    ASSERT_EQ(
        FSMakeFSRefUnicode(&root_, name.length, name.unicode, kTextEncodingUnknown, &found),
        noErr);
    EXPECT_EQ(inodeOf(found), own);
    // Its FSSpec, listed and read, finds it: the composed one keeps its
    // plain one-byte name, the other gets one of its own.
    const FSSpec read = specOf(ref);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(read.name), read.name[0] + 1u),
              std::string(reinterpret_cast<const char *>(spec.name), spec.name[0] + 1u));
    const std::string oneByte(reinterpret_cast<const char *>(read.name + 1), read.name[0]);
    if (isComposed)
      EXPECT_EQ(oneByte, std::string(reinterpret_cast<const char *>(kOneByte + 1), kOneByte[0]));
    else
      EXPECT_NE(oneByte.find('#'), std::string::npos) << oneByte;
    ASSERT_EQ(refOfSpec(read, found), noErr);
    EXPECT_EQ(inodeOf(found), own);
  }
}

} // namespace
