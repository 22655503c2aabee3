#include "platform/filemanager/ExchangeRecord.h"

#include "platform/filemanager/Sidecar.h"
#include "platform/filemanager/Syscalls.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace quillmate::fm {

const std::array<UInt8, 16> kExchangeFiller = {'E', 'x', 'c', 'h', 'a', 'n', 'g', 'e',
                                               ' ', 'p', 'e', 'n', 'd', 'i', 'n', 'g'};

namespace {

void putPlace(UInt8 *p, const PlaceAttributes &a) {
  using namespace record;
  put(p, kPlaceMode, static_cast<UInt32>(a.mode));
  put(p, kPlaceOwner, static_cast<UInt32>(a.uid));
  put(p, kPlaceGroup, static_cast<UInt32>(a.gid));
  put(p, kPlaceFileIDMark, a.fileIDMark);
  put(p, kPlaceAccessSeconds, static_cast<uint64_t>(a.atime.tv_sec));
  put(p, kPlaceAccessNanoseconds, static_cast<UInt32>(a.atime.tv_nsec));
}

void getPlace(const UInt8 *p, PlaceAttributes &a) {
  using namespace record;
  a.mode = static_cast<mode_t>(get(p, kPlaceMode) & 07777);
  a.uid = static_cast<uid_t>(get(p, kPlaceOwner));
  a.gid = static_cast<gid_t>(get(p, kPlaceGroup));
  a.fileIDMark = static_cast<UInt32>(get(p, kPlaceFileIDMark));
  a.atime.tv_sec = static_cast<time_t>(get(p, kPlaceAccessSeconds));
  a.atime.tv_nsec = static_cast<long>(get(p, kPlaceAccessNanoseconds) % 1000000000u);
}

/// Marks netatalk's attribute of the inode at `where`, when it holds Finder
/// information, with kExchangeFiller.  A mark that cannot be written leaves
/// the exchange as unrecorded for readers of Finder information alone.
void markNetatalk(const Location &where) {
  NetatalkValue netatalk;
  UInt8 finderInfo[dbl::kFinderInfoSize];
  if (netatalk.read(where.dirfd, where.name) != 0 || !netatalk.finderInfo(finderInfo) ||
      netatalk.marked())
    return;
  std::vector<UInt8> value(netatalk.data(), netatalk.data() + netatalk.size());
  std::memcpy(value.data() + 8, kExchangeFiller.data(), kExchangeFiller.size());
  sys::setXattrAt(where.dirfd, where.name, dbl::kNetatalkAttribute, value.data(), value.size(), 0);
}

} // namespace

uint64_t ExchangeRecord::nameDigest(const char *name) {
  uint64_t h = 0xcbf29ce484222325u;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p)
    h = (h ^ *p) * 0x100000001b3u;
  return h;
}

std::string ExchangeRecord::stagingName(const char *name) {
  char staged[48];
  std::snprintf(staged, sizeof staged, ".quillmate-exchange-%016llx",
                static_cast<unsigned long long>(nameDigest(name)));
  return staged;
}

void ExchangeRecord::encode(UInt8 out[Metadata::kEncodedSizeWithExchange]) const {
  using namespace record;
  std::memset(out, 0, Metadata::kEncodedSizeWithExchange);
  home.meta.encode(out);
  put(out, kVersion, 3);
  put(out, kFlags, get(out, kFlags) | Metadata::kExchangePending);
  put(out, kExchangeInode, ino);
  put(out, kExchangeBirth, static_cast<uint64_t>(birth));
  put(out, kHomeFolder, homeFolder);
  put(out, kHomeName, homeName);
  put(out, kAwayFolder, awayFolder);
  put(out, kAwayName, awayName);
  putPlace(out + kHomePlace.at, home);
  putPlace(out + kAwayPlace.at, away);
  away.meta.encode(out + kAwayRecord.at);
}

OSErr ExchangeRecord::write(const Location &where, bool *written) const {
  UInt8 out[Metadata::kEncodedSizeWithExchange];
  encode(out);
  const bool done = sys::setXattrAt(where.dirfd, where.name, kMetadataAttribute, out, sizeof out, 0) == 0;
  if (written)
    *written = done;
  if (!done) {
    const OSErr err = sys::lastStatus();
    return err == errFSOperationNotSupported || err == dskFulErr ? OSErr(noErr) : err;
  }
  // The mark after the record: a reader that meets it finds the record.
  markNetatalk(where);
  return noErr;
}

bool ExchangeRecord::decode(const UInt8 *data, size_t size) {
  using namespace record;
  if (size < Metadata::kEncodedSizeWithExchange || get(data, kVersion) < 3 ||
      !(get(data, kFlags) & Metadata::kExchangePending))
    return false;
  if (!home.meta.decode(data, Metadata::kEncodedSizeWithNodeID) ||
      !away.meta.decode(data + kAwayRecord.at, kAwayRecord.size))
    return false;
  ino = get(data, kExchangeInode);
  birth = static_cast<int64_t>(get(data, kExchangeBirth));
  homeFolder = get(data, kHomeFolder);
  homeName = get(data, kHomeName);
  awayFolder = get(data, kAwayFolder);
  awayName = get(data, kAwayName);
  getPlace(data + kHomePlace.at, home);
  getPlace(data + kAwayPlace.at, away);
  home.meta.takeRecordFinderInfo();
  away.meta.takeRecordFinderInfo();
  return true;
}

void ExchangeRecord::settle(int dirfd, const char *name, Metadata &shown) const {
  // Not the inode the exchange was written for (a copy that carried the
  // record along), or no place to judge by: its own fields stand.
  struct statx self, folder;
  if (!*name || sys::statxAt(dirfd, name, STATX_INO | STATX_BTIME, &self) < 0 ||
      self.stx_ino != ino || birthOf(self) != birth ||
      sys::statxAt(dirfd, "", STATX_INO, &folder) < 0)
    return;
  // Still at its own place: the swap did not happen.  Anywhere else it did
  // (renamed since, or reached through another hard link): the window
  // before the swap is two attribute writes, the one after it the rest.
  const bool atHome = folder.stx_ino == homeFolder && nameDigest(name) == homeName;
  const PlaceAttributes &place = atHome ? home : away;
  shown = place.meta;
  shown.settledExchange = true;
  sidecar::settleExchange(dirfd, name, stagingName(name).c_str(), self);
  // Someone who may not change the object sees the place as it should be;
  // the record stays for its owner to settle.
  applyPlace(Location{dirfd, name}, place);
}

OSErr applyPlace(const Location &where, const PlaceAttributes &a, bool *markWritten) {
  if (sys::chownAt(where.dirfd, where.name, a.uid, a.gid) < 0)
    return sys::lastStatus();
  // The owner needs the write bit to write the attributes.
  if (sys::chmodAt(where.dirfd, where.name, a.mode | S_IWUSR) < 0)
    return sys::lastStatus();
  struct timespec times[2] = {a.atime, {0, UTIME_OMIT}};
  if (sys::utimensAt(where.dirfd, where.name, times) < 0)
    return sys::lastStatus();
  bool written = false;
  if (a.fileIDMark) {
    const UInt32 id = a.fileIDMark;
    const UInt8 value[4] = {static_cast<UInt8>(id), static_cast<UInt8>(id >> 8),
                            static_cast<UInt8>(id >> 16), static_cast<UInt8>(id >> 24)};
    written = sys::setXattrAt(where.dirfd, where.name, kFileIDAttribute, value, sizeof value, 0) == 0;
  } else {
    // A mark the inode brings from its other place does not count here.
    sys::removeXattrAt(where.dirfd, where.name, kFileIDAttribute);
  }
  if (markWritten)
    *markWritten = written;
  if (OSErr err = a.meta.write(where.dirfd, where.name)) {
    // A file system without user attributes cannot keep the record: when
    // the node ID is all it would hold beside the Finder information (which
    // goes into the `._` file), the ID stays with the place in this process
    // only.
    if (err != errFSOperationNotSupported)
      return err;
    Metadata rest = a.meta;
    rest.forgetNodeID();
    if (OSErr again = rest.write(where.dirfd, where.name))
      return again;
  }
  if (!(a.mode & S_IWUSR) && sys::chmodAt(where.dirfd, where.name, a.mode) < 0)
    return sys::lastStatus();
  return noErr;
}

const struct statx &afterReading(Metadata &meta, const Location &where,
                                 const struct statx &located, struct statx &again) {
  if (!meta.settledExchange)
    return located;
  meta.settledExchange = false;
  return sys::statxAt(where.dirfd, where.name, located.stx_mask, &again) == 0 ? again : located;
}

} // namespace quillmate::fm
