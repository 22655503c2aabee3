// Users, groups and folder access rights, checked against the system's own
// tools (getent, id, stat) and, for refusals, as the unprivileged user
// nobody in a child process.
#include "FileManagerTestSupport.h"

#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <tuple>

using namespace fmtest;

namespace {

std::string fromPascal(const unsigned char *p) {
  return std::string(reinterpret_cast<const char *>(p + 1), p[0]);
}

OSErr mapID(SInt16 type, SInt32 id, std::string &name, FSVolumeRefNum volume = 0) {
  HParamBlockRec pb{};
  Str255 buffer = {};
  pb.objParam.ioVRefNum = volume;
  pb.objParam.ioObjType = type;
  pb.objParam.ioObjID = id;
  pb.objParam.ioObjNamePtr = buffer;
  OSErr err = PBHMapIDSync(&pb);
  EXPECT_EQ(pb.objParam.ioResult, err);
  if (err == noErr)
    name = fromPascal(buffer);
  return err;
}

OSErr mapName(SInt16 type, const std::string &name, SInt32 &id, FSVolumeRefNum volume = 0) {
  HParamBlockRec pb{};
  PascalName p(name);
  pb.objParam.ioVRefNum = volume;
  pb.objParam.ioObjType = type;
  pb.objParam.ioObjNamePtr = p.bytes;
  pb.objParam.ioObjID = -7;
  OSErr err = PBHMapNameSync(&pb);
  EXPECT_EQ(pb.objParam.ioResult, err);
  id = pb.objParam.ioObjID;
  return err;
}

/// The getent entries (name, id) of one database whose names are plain
/// ASCII within 31 bytes.
std::vector<std::pair<std::string, uint32_t>> entries(const char *db) {
  std::vector<std::pair<std::string, uint32_t>> out;
  std::istringstream lines(shell(std::string("getent ") + db));
  for (std::string line; std::getline(lines, line);) {
    size_t a = line.find(':'), b = line.find(':', a + 1), c = line.find(':', b + 1);
    if (c == std::string::npos)
      continue;
    std::string name = line.substr(0, a);
    bool plain = !name.empty() && name.size() <= 31;
    for (unsigned char ch : name)
      plain = plain && ch < 0x80;
    if (plain)
      out.emplace_back(name, static_cast<uint32_t>(std::stoul(line.substr(b + 1, c - b - 1))));
  }
  return out;
}

TEST(MapIDs, AgreeWithGetentBothWays) {
  for (auto [db, toName, toID] : {std::tuple{"passwd", kOwnerID2Name, kOwnerName2ID},
                                 std::tuple{"group", kGroupID2Name, kGroupName2ID}}) {
    auto list = entries(db);
    ASSERT_FALSE(list.empty()) << db;
    for (const auto &[name, id] : list) {
      SInt32 back = 0;
      EXPECT_EQ(mapName(toID, name, back), noErr) << db << " " << name;
      EXPECT_EQ(static_cast<uint32_t>(back), id) << db << " " << name;
      // Several names may share an ID; the database's first one is its name.
      std::string first = shell(std::string("getent ") + db + " " + std::to_string(id) + " | cut -d: -f1");
      std::string got;
      EXPECT_EQ(mapID(toName, static_cast<SInt32>(id), got), noErr) << db << " " << id;
      EXPECT_EQ(got, first) << db << " " << id;
    }
  }
  std::string me;
  ASSERT_EQ(mapID(kOwnerID2Name, static_cast<SInt32>(geteuid()), me), noErr);
  EXPECT_EQ(me, shell("id -un"));
}

TEST(MapIDs, UnknownEntriesBadTypesAndVolumes) {
  SInt32 unused = 0x7FFFFF00;
  while (getpwuid(static_cast<uid_t>(unused)) || getgrgid(static_cast<gid_t>(unused)))
    ++unused;
  std::string name = "untouched";
  EXPECT_EQ(mapID(kOwnerID2Name, unused, name), fnfErr);
  EXPECT_EQ(mapID(kGroupID2Name, unused, name), fnfErr);
  EXPECT_EQ(name, "untouched");
  SInt32 id;
  EXPECT_EQ(mapName(kOwnerName2ID, "no-such-user-quillmate", id), fnfErr);
  EXPECT_EQ(id, -7); // untouched on failure
  EXPECT_EQ(mapName(kGroupName2ID, "no-such-group-quillmate", id), fnfErr);
  EXPECT_EQ(mapName(kOwnerName2ID, "", id), fnfErr);

  // Each call takes only its own two type codes.
  for (SInt16 type : {0, 3, 4, 5, -1})
    EXPECT_EQ(mapID(type, 0, name), paramErr) << type;
  for (SInt16 type : {0, 1, 2, 5, -1})
    EXPECT_EQ(mapName(type, "root", id), paramErr) << type;
  HParamBlockRec pb{};
  pb.objParam.ioObjType = kOwnerID2Name;
  EXPECT_EQ(PBHMapIDSync(&pb), paramErr); // no name buffer
  pb.objParam.ioObjType = kOwnerName2ID;
  EXPECT_EQ(PBHMapNameSync(&pb), paramErr);
  EXPECT_EQ(PBHMapIDSync(nullptr), paramErr);
  EXPECT_EQ(PBHMapNameSync(nullptr), paramErr);

  EXPECT_EQ(mapID(kOwnerID2Name, 0, name, -32000), nsvErr);
  EXPECT_EQ(mapName(kOwnerName2ID, "root", id, -32000), nsvErr);
  EXPECT_EQ(mapID(kOwnerID2Name, 0, name), noErr);
  EXPECT_EQ(name, "root");
}

/// A fresh folder owned by nobody (so that nobody can reach inside it),
/// and its volume and directory ID.
class DirAccess : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    if (geteuid() == 0) {
      ASSERT_EQ(chown(dir_.path().c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(refFor(dir_.path(), root_), noErr);
    ASSERT_EQ(folderIDs(root_, volume_, dirID_), noErr);
  }

  OSErr get(const std::string &name, AccessParam &out) {
    HParamBlockRec pb{};
    PascalName p(name);
    pb.accessParam.ioVRefNum = volume_;
    pb.accessParam.ioDirID = dirID_;
    pb.accessParam.ioNamePtr = p.bytes;
    OSErr err = PBHGetDirAccessSync(&pb);
    EXPECT_EQ(pb.accessParam.ioResult, err);
    out = pb.accessParam;
    return err;
  }

  OSErr set(const std::string &name, SInt32 owner, SInt32 group, UInt32 access) {
    HParamBlockRec pb{};
    PascalName p(name);
    pb.accessParam.ioVRefNum = volume_;
    pb.accessParam.ioDirID = dirID_;
    pb.accessParam.ioNamePtr = p.bytes;
    pb.accessParam.ioACOwnerID = owner;
    pb.accessParam.ioACGroupID = group;
    pb.accessParam.ioACAccess = static_cast<SInt32>(access);
    OSErr err = PBHSetDirAccessSync(&pb);
    EXPECT_EQ(pb.accessParam.ioResult, err);
    return err;
  }

  std::string stat(const std::string &name, const char *format = "%a") {
    return shell(std::string("stat -c ") + format + " '" + (dir_ / name) + "'");
  }

  TempDir dir_{GetParam()};
  FSRef root_;
  FSVolumeRefNum volume_ = 0;
  SInt32 dirID_ = 0;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, DirAccess, ::testing::ValuesIn(bases()));

TEST_P(DirAccess, GetMapsModeOwnerAndTheCallersRights) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to give the folder to nobody";
  ASSERT_EQ(mkdir((dir_ / "d").c_str(), 0), 0);
  ASSERT_EQ(chmod((dir_ / "d").c_str(), 0751), 0);
  ASSERT_EQ(chown((dir_ / "d").c_str(), kNobody, 100), 0);
  AccessParam ap;
  ASSERT_EQ(get("d", ap), noErr);
  EXPECT_EQ(static_cast<uid_t>(ap.ioACOwnerID), kNobody);
  EXPECT_EQ(ap.ioACGroupID, 100);
  // Owner rwx = 7, group r-x = see files + see folders = 3, everyone --x = 1;
  // root may do everything but is not the owner.
  EXPECT_EQ(static_cast<UInt32>(ap.ioACAccess), 0x07010307u);

  ASSERT_EQ(mkdir((dir_ / "rootdir").c_str(), 0), 0);
  ASSERT_EQ(chmod((dir_ / "rootdir").c_str(), 0705), 0);
  std::string base = dir_.path();
  // As nobody: the owner's own folder (bit 31, all rights); root's folder,
  // seen through the everyone class (r-x: see, but no changes).
  EXPECT_EQ(asNobody([&]() -> int {
              HParamBlockRec pb{};
              FSRef root;
              FSVolumeRefNum volume = 0;
              SInt32 dirID = 0;
              if (refFor(base, root) || folderIDs(root, volume, dirID))
                return 1;
              pb.accessParam.ioVRefNum = volume;
              pb.accessParam.ioDirID = dirID;
              PascalName d("d"), r("rootdir");
              pb.accessParam.ioNamePtr = d.bytes;
              if (PBHGetDirAccessSync(&pb) ||
                  static_cast<UInt32>(pb.accessParam.ioACAccess) != 0x87010307u)
                return 2;
              pb.accessParam.ioNamePtr = r.bytes;
              if (PBHGetDirAccessSync(&pb) ||
                  static_cast<UInt32>(pb.accessParam.ioACAccess) != 0x03030007u ||
                  static_cast<UInt8>(pb.accessParam.ioACUser) !=
                      (kioACUserNoMakeChangesMask | kioACUserNotOwnerMask))
                return 3;
              return 0;
            }),
            0);
}

TEST_P(DirAccess, SetWritesModeAndOwnersAsStatShowsThem) {
  ASSERT_EQ(mkdir((dir_ / "d").c_str(), 0700), 0);
  const SInt32 uid = static_cast<SInt32>(geteuid()), gid = static_cast<SInt32>(getegid());
  // Owner everything, group see files + folders, everyone see folders; the
  // read-only and unknown bits are ignored.
  ASSERT_EQ(set("d", uid, gid, 0xFF010307u), noErr);
  EXPECT_EQ(stat("d"), "751");
  ASSERT_EQ(set("d", uid, gid, 0x00040002u), noErr); // owner r, everyone w
  EXPECT_EQ(stat("d"), "402");

  // Set-group-ID and sticky survive.
  ASSERT_EQ(chmod((dir_ / "d").c_str(), 03755), 0);
  ASSERT_EQ(set("d", uid, gid, 0x00000707u), noErr);
  EXPECT_EQ(stat("d"), "3770");

  // A round trip through get gives back what was set.
  AccessParam ap;
  ASSERT_EQ(get("d", ap), noErr);
  EXPECT_EQ(ap.ioACAccess & 0x00070707, 0x00000707);

  if (geteuid() == 0) {
    ASSERT_EQ(set("d", static_cast<SInt32>(kNobody), 100, 0x00070707u), noErr);
    EXPECT_EQ(stat("d", "%u:%g:%a"), "65534:100:3777");
    ASSERT_EQ(get("d", ap), noErr);
    EXPECT_EQ(static_cast<uid_t>(ap.ioACOwnerID), kNobody);
    EXPECT_EQ(ap.ioACGroupID, 100);
  }
}

TEST_P(DirAccess, FilesLockedFoldersAndMissingNamesAreRefused) {
  writeFile(dir_ / "file", "x");
  ASSERT_EQ(chmod((dir_ / "file").c_str(), 0640), 0);
  AccessParam ap;
  EXPECT_EQ(get("file", ap), afpObjectTypeErr);
  EXPECT_EQ(set("file", 0, 0, 0x00070707u), afpObjectTypeErr);
  EXPECT_EQ(stat("file"), "640");

  FSRef locked;
  ASSERT_EQ(createDir(root_, "locked", &locked), noErr);
  ASSERT_EQ(chmod((dir_ / "locked").c_str(), 0755), 0);
  FSCatalogInfo info{};
  info.nodeFlags = kFSNodeLockedMask;
  ASSERT_EQ(FSSetCatalogInfo(&locked, kFSCatInfoNodeFlags, &info), noErr);
  EXPECT_EQ(set("locked", 0, 0, 0x00070707u), fLckdErr);
  EXPECT_EQ(stat("locked"), "755");
  EXPECT_EQ(get("locked", ap), noErr); // reading is fine

  EXPECT_EQ(get("missing", ap), fnfErr);
  EXPECT_EQ(set("missing", 0, 0, 0), fnfErr);
  HParamBlockRec pb{};
  pb.accessParam.ioVRefNum = volume_;
  pb.accessParam.ioDirID = 0x7FFFFFF0; // no folder the process knows
  EXPECT_EQ(PBHGetDirAccessSync(&pb), dirNFErr);
  EXPECT_EQ(PBHGetDirAccessSync(nullptr), paramErr);
  EXPECT_EQ(PBHSetDirAccessSync(nullptr), paramErr);
  // No name: the folder the directory ID names.
  pb.accessParam.ioDirID = dirID_;
  EXPECT_EQ(PBHGetDirAccessSync(&pb), noErr);
}

TEST_P(DirAccess, RefusalsAsNobodyChangeNothing) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to make folders that nobody may not change";
  ASSERT_EQ(mkdir((dir_ / "roots").c_str(), 0), 0);
  ASSERT_EQ(chmod((dir_ / "roots").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ / "mine").c_str(), 0), 0);
  ASSERT_EQ(chmod((dir_ / "mine").c_str(), 0755), 0);
  ASSERT_EQ(chown((dir_ / "mine").c_str(), kNobody, kNobody), 0);
  std::string base = dir_.path();
  EXPECT_EQ(asNobody([&]() -> int {
              FSRef root;
              FSVolumeRefNum volume = 0;
              SInt32 dirID = 0;
              if (refFor(base, root) || folderIDs(root, volume, dirID))
                return 1;
              auto setAs = [&](const char *name, SInt32 owner, SInt32 group, UInt32 access) {
                HParamBlockRec pb{};
                PascalName p(name);
                pb.accessParam.ioVRefNum = volume;
                pb.accessParam.ioDirID = dirID;
                pb.accessParam.ioNamePtr = p.bytes;
                pb.accessParam.ioACOwnerID = owner;
                pb.accessParam.ioACGroupID = group;
                pb.accessParam.ioACAccess = static_cast<SInt32>(access);
                return PBHSetDirAccessSync(&pb);
              };
              // Root's folder, even with its own values.
              if (setAs("roots", 0, 0, 0x00050507u) != afpAccessDenied)
                return 2;
              // Its own folder: a group it is not in, or another owner.
              if (setAs("mine", kNobody, 0, 0x00070707u) != afpAccessDenied)
                return 3;
              if (setAs("mine", 0, kNobody, 0x00070707u) != afpAccessDenied)
                return 4;
              // But its mode is its own to change.
              if (setAs("mine", kNobody, kNobody, 0x00000007u) != noErr)
                return 5;
              return 0;
            }),
            0);
  EXPECT_EQ(stat("roots", "%u:%g:%a"), "0:0:755");
  EXPECT_EQ(stat("mine", "%u:%g:%a"), "65534:65534:700");
}

} // namespace
