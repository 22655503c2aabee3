// Users, groups, folder access rights, and what the calling user may do with
// an object (the catalog's user privileges).
//
// Users and groups are the system's own databases (NSS: /etc/passwd, LDAP,
// ...), read with the reentrant calls.  A name passes through the same
// one-byte conversion as FSSpec names.
//
// Folder access rights map to the folder's owner, group and mode bits:
//   see folders     bits 0, 8, 16 <-> x of owner, group, other
//   see files       bits 1, 9, 17 <-> r
//   make changes    bits 2, 10, 18 <-> w
//   caller's rights bits 24-26: the same three, as the kernel grants them
//                   to the caller (read only)
//   blank access    bit 28: never set, ignored when given
//   caller owns it  bit 31 (read only)
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/Names.h"
#include "platform/filemanager/OneByteNames.h"
#include "platform/filemanager/Syscalls.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace quillmate::fm {

using namespace detail;

namespace {

enum class Database { Users, Groups };

/// The database entry's name for an ID, or its ID for a name, with a buffer
/// grown until the entry fits.  fnfErr when there is no such entry.
template <typename Lookup>
OSErr withGrowingBuffer(int sizeName, Lookup lookup) {
  long hint = sysconf(sizeName);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
  for (;;) {
    bool found = false;
    int rc = lookup(buffer.data(), buffer.size(), found);
    if (rc == 0)
      return found ? OSErr(noErr) : OSErr(fnfErr);
    if (rc == ERANGE && buffer.size() < (1u << 24)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    // glibc documents these as "not found" answers of some NSS modules.
    if (rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM)
      return fnfErr;
    return sys::statusFor(rc);
  }
}

int sizeName(Database db) {
  return db == Database::Users ? _SC_GETPW_R_SIZE_MAX : _SC_GETGR_R_SIZE_MAX;
}

OSErr nameForID(Database db, uint32_t id, std::string &name) {
  return withGrowingBuffer(sizeName(db), [&](char *buf, size_t size, bool &found) {
    if (db == Database::Users) {
      struct passwd entry, *result = nullptr;
      int rc = getpwuid_r(static_cast<uid_t>(id), &entry, buf, size, &result);
      if (rc == 0 && result) {
        name = result->pw_name;
        found = true;
      }
      return rc;
    }
    struct group entry, *result = nullptr;
    int rc = getgrgid_r(static_cast<gid_t>(id), &entry, buf, size, &result);
    if (rc == 0 && result) {
      name = result->gr_name;
      found = true;
    }
    return rc;
  });
}

OSErr idForName(Database db, const std::string &name, uint32_t &id) {
  return withGrowingBuffer(sizeName(db), [&](char *buf, size_t size, bool &found) {
    if (db == Database::Users) {
      struct passwd entry, *result = nullptr;
      int rc = getpwnam_r(name.c_str(), &entry, buf, size, &result);
      if (rc == 0 && result) {
        id = result->pw_uid;
        found = true;
      }
      return rc;
    }
    struct group entry, *result = nullptr;
    int rc = getgrnam_r(name.c_str(), &entry, buf, size, &result);
    if (rc == 0 && result) {
      id = result->gr_gid;
      found = true;
    }
    return rc;
  });
}

/// The exact one-byte form of a database name.  A name that has none within
/// 31 bytes is bdNamErr: the shortened form FSSpec names get would map back
/// to no one.
OSErr oneByteName(const std::string &name, StringPtr out) {
  HFSUniStr255 unicode;
  names::fromDisk(name, unicode);
  std::string wanted, back;
  if (names::toDiskNFC(unicode.unicode, unicode.length, wanted) != noErr)
    return bdNamErr;
  StrFileName bytes;
  onebyte::fromUnicode(unicode, 0, bytes);
  HFSUniStr255 again;
  if (!onebyte::toUnicode(bytes + 1, bytes[0], again) ||
      names::toDiskNFC(again.unicode, again.length, back) != noErr || back != wanted)
    return bdNamErr;
  std::memcpy(out, bytes, bytes[0] + 1u);
  return noErr;
}

/// An ioVRefNum of the map calls names the volume whose users are meant:
/// every volume shares the system's databases, but the volume must exist.
OSErr checkVolume(FSVolumeRefNum refNum) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  return table.volume(refNum) ? OSErr(noErr) : OSErr(nsvErr);
}

/// Access bits 0-2 of one class of the mode (its rwx triple in the low bits).
UInt32 accessBits(unsigned rwx) {
  return ((rwx & 1) ? 1u : 0u) | ((rwx & 4) ? 2u : 0u) | ((rwx & 2) ? 4u : 0u);
}
/// The inverse of accessBits.
mode_t modeBits(UInt32 access) {
  return ((access & 1) ? 1 : 0) | ((access & 2) ? 4 : 0) | ((access & 4) ? 2 : 0);
}

/// The folder an access call names, located; afpObjectTypeErr for a file.
OSErr locateFolder(const AccessParam &ap, uint32_t &index, Location &where,
                   struct statx &stx) {
  NodeTable &table = NodeTable::shared();
  if (OSErr err = resolveSpec(ap.ioVRefNum, ap.ioDirID, ap.ioNamePtr, index))
    return err;
  if (OSErr err = table.locate(index, where, &stx, statxMaskFor(kFSCatInfoUserPrivs)))
    return err;
  return S_ISDIR(stx.stx_mode) ? OSErr(noErr) : OSErr(afpObjectTypeErr);
}

/// Whether the calling process is in group `gid`, as its effective or a
/// supplementary group.
bool inGroup(gid_t gid) {
  if (gid == getegid())
    return true;
  gid_t groups[256];
  int n = getgroups(256, groups);
  for (int i = 0; i < n; ++i)
    if (groups[i] == gid)
      return true;
  return false;
}

} // namespace

UInt8 detail::privilegesFor(const struct statx &stx) {
  uid_t euid = geteuid();
  UInt8 p = stx.stx_uid == euid ? 0 : kioACUserNotOwnerMask;
  if (euid == 0)
    return p;
  unsigned bits = stx.stx_uid == euid   ? (stx.stx_mode >> 6) & 7
                  : inGroup(stx.stx_gid) ? (stx.stx_mode >> 3) & 7
                                         : stx.stx_mode & 7;
  if (S_ISDIR(stx.stx_mode) && (!(bits & 4) || !(bits & 1)))
    p |= kioACUserNoSeeFolderMask | kioACUserNoSeeFilesMask;
  if (!(bits & 2))
    p |= kioACUserNoMakeChangesMask;
  return p;
}

OSErr PosixFileManager::mapID(HParmBlkPtr pb) {
  if (!pb)
    return paramErr;
  ObjParam &op = pb->objParam;
  if (!op.ioObjNamePtr || (op.ioObjType != kOwnerID2Name && op.ioObjType != kGroupID2Name))
    return finish(op, paramErr);
  if (OSErr err = checkVolume(op.ioVRefNum))
    return finish(op, err);
  std::string name;
  Database db = op.ioObjType == kOwnerID2Name ? Database::Users : Database::Groups;
  if (OSErr err = nameForID(db, static_cast<uint32_t>(op.ioObjID), name))
    return finish(op, err);
  return finish(op, oneByteName(name, op.ioObjNamePtr));
}

OSErr PosixFileManager::mapName(HParmBlkPtr pb) {
  if (!pb)
    return paramErr;
  ObjParam &op = pb->objParam;
  if (!op.ioObjNamePtr || (op.ioObjType != kOwnerName2ID && op.ioObjType != kGroupName2ID))
    return finish(op, paramErr);
  if (OSErr err = checkVolume(op.ioVRefNum))
    return finish(op, err);
  HFSUniStr255 unicode;
  std::string name;
  if (op.ioObjNamePtr[0] == 0)
    return finish(op, fnfErr); // no user or group has an empty name
  if (!onebyte::toUnicode(op.ioObjNamePtr + 1, op.ioObjNamePtr[0], unicode) ||
      names::toDiskNFC(unicode.unicode, unicode.length, name) != noErr)
    return finish(op, fnfErr); // not a name the databases can hold
  uint32_t id = 0;
  Database db = op.ioObjType == kOwnerName2ID ? Database::Users : Database::Groups;
  if (OSErr err = idForName(db, name, id))
    return finish(op, err);
  op.ioObjID = static_cast<SInt32>(id);
  return finish(op, noErr);
}

OSErr PosixFileManager::getDirAccess(HParmBlkPtr pb) {
  if (!pb)
    return paramErr;
  AccessParam &ap = pb->accessParam;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  Location where;
  struct statx stx;
  if (OSErr err = locateFolder(ap, index, where, stx))
    return finish(ap, err);
  // The caller's own rights are the catalog's user privileges, so both
  // calls agree.
  FSCatalogInfo info;
  if (OSErr err = fillCatalogInfo(index, where, stx, kFSCatInfoUserPrivs, info))
    return finish(ap, err);
  const UInt8 privs = info.userPrivileges;
  UInt32 mine = ((privs & kioACUserNoSeeFolderMask) ? 0u : 1u) |
                ((privs & kioACUserNoSeeFilesMask) ? 0u : 2u) |
                ((privs & kioACUserNoMakeChangesMask) ? 0u : 4u);
  UInt32 access = accessBits(stx.stx_mode >> 6) | accessBits(stx.stx_mode >> 3) << 8 |
                  accessBits(stx.stx_mode) << 16 | mine << 24;
  if (!(privs & kioACUserNotOwnerMask))
    access |= 0x80000000u;
  ap.ioACOwnerID = static_cast<SInt32>(stx.stx_uid);
  ap.ioACGroupID = static_cast<SInt32>(stx.stx_gid);
  ap.ioACAccess = static_cast<SInt32>(access);
  ap.ioACUser = static_cast<SInt8>(privs);
  return finish(ap, noErr);
}

OSErr PosixFileManager::setDirAccess(HParmBlkPtr pb) {
  if (!pb)
    return paramErr;
  AccessParam &ap = pb->accessParam;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  Location where;
  struct statx stx;
  if (OSErr err = locateFolder(ap, index, where, stx))
    return finish(ap, err);
  if (OSErr err = lockedForChange(where, stx))
    return finish(ap, err);
  const uid_t uid = static_cast<uid_t>(ap.ioACOwnerID);
  const gid_t gid = static_cast<gid_t>(ap.ioACGroupID);
  if (uid != stx.stx_uid || gid != stx.stx_gid) {
    if (sys::chownAt(where.dirfd, where.name, uid != stx.stx_uid ? uid : static_cast<uid_t>(-1),
                     gid != stx.stx_gid ? gid : static_cast<gid_t>(-1)) < 0)
      return finish(ap, sys::lastStatus());
  }
  // Always written, even unchanged: a caller without the right to change
  // the folder hears so.  Set-user-ID, set-group-ID and sticky stay.
  const UInt32 access = static_cast<UInt32>(ap.ioACAccess);
  const mode_t mode = (stx.stx_mode & 07000) | modeBits(access) << 6 |
                      modeBits(access >> 8) << 3 | modeBits(access >> 16);
  if (sys::chmodAt(where.dirfd, where.name, mode) < 0)
    return finish(ap, sys::lastStatus());
  return finish(ap, noErr);
}

} // namespace quillmate::fm
