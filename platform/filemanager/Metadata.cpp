#include "platform/filemanager/Metadata.h"

#include "platform/filemanager/ExchangeRecord.h"
#include "platform/filemanager/PosixFileManager.h"
#include "platform/filemanager/Syscalls.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <span>
#include <sys/stat.h>
#include <vector>

namespace quillmate::fm {
namespace {

void putDate(UInt8 *p, const UTCDateTime &d) {
  record::put(p, record::kDateHighSeconds, d.highSeconds);
  record::put(p, record::kDateLowSeconds, d.lowSeconds);
  record::put(p, record::kDateFraction, d.fraction);
}
UTCDateTime getDate(const UInt8 *p) {
  UTCDateTime d;
  d.highSeconds = static_cast<UInt16>(record::get(p, record::kDateHighSeconds));
  d.lowSeconds = static_cast<UInt32>(record::get(p, record::kDateLowSeconds));
  d.fraction = static_cast<UInt16>(record::get(p, record::kDateFraction));
  return d;
}

bool allZero(const UInt8 *p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i])
      return false;
  return true;
}

} // namespace

bool Metadata::isDefault() const {
  return flags == 0 && textEncodingHint == 0 && allZero(finderInfo, 16) &&
         allZero(extFinderInfo, 16);
}

static_assert(sizeof Metadata::finderInfo == record::kFinderInfo.size);
static_assert(sizeof Metadata::extFinderInfo == record::kExtFinderInfo.size);

size_t Metadata::encode(UInt8 out[kEncodedSizeWithNodeID]) const {
  using namespace record;
  const bool withNodeID = flags & kHasNodeID;
  const size_t size = withNodeID ? kEncodedSizeWithNodeID : kEncodedSize;
  std::memset(out, 0, size);
  put(out, kVersion, withNodeID ? 2 : 1);
  put(out, kFlags, flags & static_cast<UInt8>(~kExchangePending));
  put(out, kSavedWriteBits, savedWriteBits);
  put(out, kTextEncoding, textEncodingHint);
  std::memcpy(out + kFinderInfo.at, finderInfo, kFinderInfo.size);
  std::memcpy(out + kExtFinderInfo.at, extFinderInfo, kExtFinderInfo.size);
  putDate(out + kCreateDate.at, createDate);
  putDate(out + kBackupDate.at, backupDate);
  if (withNodeID) {
    put(out, kNodeIDInode, nodeIDInode);
    put(out, kNodeIDBirth, static_cast<uint64_t>(nodeIDBirth));
    put(out, kNodeID, nodeID);
  }
  return size;
}

bool Metadata::decode(const UInt8 *data, size_t size) {
  using namespace record;
  *this = Metadata{};
  const uint64_t version = size >= kEncodedSize ? get(data, kVersion) : 0;
  if (version == 0)
    return false;
  const UInt8 stored = static_cast<UInt8>(get(data, kFlags));
  flags = stored & (kFolderLocked | kHasCreateDate | kHasBackupDate | kHasSavedWriteBits);
  savedWriteBits = static_cast<UInt16>(get(data, kSavedWriteBits) & 0222);
  textEncodingHint = static_cast<TextEncoding>(get(data, kTextEncoding));
  std::memcpy(finderInfo, data + kFinderInfo.at, kFinderInfo.size);
  std::memcpy(extFinderInfo, data + kExtFinderInfo.at, kExtFinderInfo.size);
  createDate = getDate(data + kCreateDate.at);
  backupDate = getDate(data + kBackupDate.at);
  if (version >= 2 && size >= kEncodedSizeWithNodeID && (stored & kHasNodeID)) {
    flags |= kHasNodeID;
    nodeIDInode = get(data, kNodeIDInode);
    nodeIDBirth = static_cast<int64_t>(get(data, kNodeIDBirth));
    nodeID = static_cast<UInt32>(get(data, kNodeID));
  }
  return true;
}

UInt32 Metadata::recordedNodeID(uint64_t ino, int64_t birth) const {
  if (!(flags & kHasNodeID) || nodeIDInode != ino || nodeIDBirth != birth)
    return 0;
  return nodeID;
}

void Metadata::takeRecordFinderInfo() {
  finderInfoFrom = allZero(finderInfo, 16) && allZero(extFinderInfo, 16) ? FinderInfoFrom::Nowhere
                                                                         : FinderInfoFrom::Record;
}

void Metadata::recordNodeID(UInt32 id, uint64_t ino, int64_t birth) {
  if (id == ino) {
    flags &= static_cast<UInt8>(~kHasNodeID);
    nodeID = 0;
    nodeIDInode = 0;
    nodeIDBirth = 0;
    return;
  }
  flags |= kHasNodeID;
  nodeID = id;
  nodeIDInode = ino;
  nodeIDBirth = birth;
}

namespace {

OSErr readRecordOnly(int dirfd, const char *name, Metadata &out, bool unreadableIsDefault) {
  out = Metadata{};
  UInt8 buffer[Metadata::kEncodedSizeWithExchange];
  ssize_t n = sys::getXattrAt(dirfd, name, kMetadataAttribute, buffer, sizeof buffer);
  if (n < 0) {
    // No record, a record of a later version too large for us, or a file
    // system (or a symbolic link) without user attributes: all defaults.
    if (errno == ENODATA || errno == ERANGE || errno == EOPNOTSUPP || errno == EPERM)
      return noErr;
    if (errno == EACCES && unreadableIsDefault)
      return noErr;
    return sys::lastStatus();
  }
  out.decode(buffer, static_cast<size_t>(n));
  // An exchange killed part-way: settled here, so that every reader sees
  // each place with its own attributes.  A record without one costs nothing
  // more than this test.
  if (static_cast<size_t>(n) >= Metadata::kEncodedSizeWithExchange &&
      (record::get(buffer, record::kFlags) & Metadata::kExchangePending)) {
    ExchangeRecord exchange;
    if (exchange.decode(buffer, static_cast<size_t>(n)))
      exchange.settle(dirfd, name, out);
  }
  return noErr;
}

// --- where the Finder information lives ------------------------------------------

/// statx fields a placement of the Finder information needs: the kind (its
/// byte order), the identity a `._` file is checked against, and the dates
/// of a new netatalk value.
constexpr unsigned kPlacementMask =
    STATX_TYPE | STATX_MODE | STATX_INO | STATX_BTIME | STATX_MTIME | STATX_ATIME;

bool noAttributes(int error) { return error == EOPNOTSUPP || error == ENOTSUP; }

/// Whether the object `name` can have a `._` file beside it: not a volume
/// root ("." inside its own descriptor) nor a descriptor itself ("").
bool mayHaveSidecar(const char *name) {
  return *name && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

void splitFinderInfo(const UInt8 disk[dbl::kFinderInfoSize], bool folder, Metadata &out,
                     FinderInfoFrom from) {
  UInt8 host[dbl::kFinderInfoSize];
  convertFinderInfo(disk, folder, host);
  std::memcpy(out.finderInfo, host, 16);
  std::memcpy(out.extFinderInfo, host + 16, 16);
  out.finderInfoFrom = from;
}

/// The Finder information (big-endian) of the object's `._` file: `found`
/// false when it has none attached, or it is all zeros.
OSErr sidecarFinderInfo(int dirfd, const char *name, const struct statx &object,
                        UInt8 out[dbl::kFinderInfoSize], bool &found) {
  found = false;
  if (!mayHaveSidecar(name))
    return noErr;
  sidecar::File file;
  sidecar::Found look;
  if (OSErr err = sidecar::open(dirfd, name, object, O_RDONLY, file, look))
    return err;
  found = look == sidecar::Found::Attached && sidecar::readFinderInfo(file, out);
  return noErr;
}

/// Seconds since 2000 as the double format counts them, from seconds since
/// 1970; kUnknownDate where they do not fit.
SInt32 since2000(int64_t unixSeconds) {
  constexpr int64_t kUnixTo2000 = 946684800;
  const int64_t s = unixSeconds - kUnixTo2000;
  return s > INT32_MIN && s <= INT32_MAX ? static_cast<SInt32>(s) : dbl::kUnknownDate;
}

/// The dates entry of a new netatalk value: creation from the record or the
/// birth time, modification and access from the inode, backup unknown.
dbl::FileDates datesOf(const struct statx &stx, const Metadata &meta) {
  dbl::FileDates dates;
  if (meta.flags & Metadata::kHasCreateDate) {
    struct timespec created;
    detail::fromUTC(meta.createDate, created);
    dates.create = since2000(created.tv_sec);
  } else if (stx.stx_mask & STATX_BTIME) {
    dates.create = since2000(stx.stx_btime.tv_sec);
  }
  if (stx.stx_mask & STATX_MTIME)
    dates.modify = since2000(stx.stx_mtime.tv_sec);
  if (stx.stx_mask & STATX_ATIME)
    dates.access = since2000(stx.stx_atime.tv_sec);
  return dates;
}

/// Writes netatalk's attribute with the Finder information `disk`: `existing`
/// (null: none) patched, no longer marked for an exchange.
OSErr writeNetatalk(int dirfd, const char *name, const UInt8 *existing, size_t size,
                    const UInt8 disk[dbl::kFinderInfoSize], const struct statx &stx,
                    const Metadata &meta) {
  std::vector<UInt8> value = dbl::netatalkWithFinderInfo(existing, size, disk, datesOf(stx, meta));
  UInt8 *filler = value.data() + 8;
  if (std::memcmp(filler, kExchangeFiller.data(), kExchangeFiller.size()) == 0)
    std::memset(filler, 0, kExchangeFiller.size());
  if (sys::setXattrAt(dirfd, name, dbl::kNetatalkAttribute, value.data(), value.size(), 0) < 0)
    return sys::lastStatus();
  return noErr;
}

/// Writes the Finder information `disk` into the object's `._` file, which
/// is made when there is none and the information is not all zeros.
OSErr writeSidecar(int dirfd, const char *name, const struct statx &stx,
                   const UInt8 disk[dbl::kFinderInfoSize]) {
  const bool zero = allZero(disk, dbl::kFinderInfoSize);
  if (!mayHaveSidecar(name))
    return zero ? OSErr(noErr) : OSErr(errFSOperationNotSupported);
  // A few rounds: another process may make the file, or lay it out anew,
  // between the look and the change.
  for (int round = 0; round < 4; ++round) {
    sidecar::File file;
    sidecar::Found found;
    if (OSErr err = sidecar::open(dirfd, name, stx, O_RDWR, file, found))
      return err;
    if (found == sidecar::Found::Damaged)
      return ioErr; // its bytes may be anything: nothing overwrites them
    if (found != sidecar::Found::Attached) {
      if (zero)
        return noErr;
      OSErr err = sidecar::create(dirfd, name, stx, disk, nullptr, 0,
                                  found == sidecar::Found::Stranded, file);
      if (err != dupFNErr)
        return err;
      continue;
    }
    const dbl::Entry *entry = file.finderInfo();
    if (!entry || entry->length < dbl::kFinderInfoSize)
      return zero ? OSErr(noErr) : OSErr(errFSOperationNotSupported);
    if (OSErr err = sidecar::lock(file))
      return err;
    // Laid out anew by another opener while this one waited: the file open
    // here has no name any more.
    struct statx now;
    const bool replaced =
        sys::statxAt(file.fd.get(), "", STATX_NLINK, &now) != 0 || now.stx_nlink == 0;
    UInt8 current[dbl::kFinderInfoSize] = {};
    OSErr err = noErr;
    if (!replaced) {
      sidecar::readFinderInfo(file, current);
      if (std::memcmp(current, disk, sizeof current) != 0)
        err = sidecar::writeFinderInfo(file, disk);
    }
    sidecar::unlock(file);
    if (!replaced)
      return err;
  }
  return fBsyErr;
}

/// Puts the Finder information of `meta` into its place on the object
/// `dirfd`/`name`: netatalk's attribute, or where the file system keeps no
/// user attributes (`noAttributesHere`) the `._` file, which only a record
/// of defaults (`recordIsDefault`) may go without.
OSErr placeFinderInfo(int dirfd, const char *name, const Metadata &meta, bool recordIsDefault,
                      bool &noAttributesHere) {
  noAttributesHere = false;
  struct statx stx;
  if (sys::statxAt(dirfd, name, kPlacementMask, &stx) < 0)
    return sys::lastStatus();
  UInt8 host[dbl::kFinderInfoSize], disk[dbl::kFinderInfoSize];
  std::memcpy(host, meta.finderInfo, 16);
  std::memcpy(host + 16, meta.extFinderInfo, 16);
  convertFinderInfo(host, S_ISDIR(stx.stx_mode), disk);

  NetatalkValue netatalk;
  int error = netatalk.read(dirfd, name);
  if (error == 0) {
    UInt8 current[dbl::kFinderInfoSize];
    if (netatalk.finderInfo(current) && !netatalk.marked() &&
        std::memcmp(current, disk, sizeof disk) == 0)
      return noErr;
    return writeNetatalk(dirfd, name, netatalk.data(), netatalk.size(), disk, stx, meta);
  }
  if (error == ENODATA) {
    if (allZero(disk, sizeof disk)) {
      // Zeros need saying only over a `._` file that says otherwise.
      UInt8 theirs[dbl::kFinderInfoSize];
      bool found;
      if (OSErr err = sidecarFinderInfo(dirfd, name, stx, theirs, found))
        return err;
      if (!found)
        return noErr;
    }
    OSErr err = writeNetatalk(dirfd, name, nullptr, 0, disk, stx, meta);
    if (err != errFSOperationNotSupported)
      return err;
  } else if (!noAttributes(error)) {
    return sys::statusFor(error);
  }
  // No user attributes here: the `._` file keeps the Finder information,
  // and nothing keeps the rest.
  if (!recordIsDefault)
    return errFSOperationNotSupported;
  noAttributesHere = true;
  return writeSidecar(dirfd, name, stx, disk);
}

/// Reads the `parts` of the object `dirfd`/`name`, whose statx is `object`
/// (null: taken when needed).
OSErr readParts(int dirfd, const char *name, const struct statx *object, unsigned parts,
                SidecarHint hint, bool unreadableIsDefault, Metadata &out) {
  struct statx own;
  auto isFolder = [&](bool &folder) -> OSErr {
    if (!object) {
      if (sys::statxAt(dirfd, name, STATX_TYPE | STATX_MODE | STATX_INO | STATX_BTIME, &own) < 0)
        return sys::lastStatus();
      object = &own;
    }
    folder = S_ISDIR(object->stx_mode);
    return noErr;
  };
  UInt8 disk[dbl::kFinderInfoSize];
  auto take = [&](FinderInfoFrom from) -> OSErr {
    bool folder = false;
    if (OSErr err = isFolder(folder))
      return err;
    splitFinderInfo(disk, folder, out, from);
    return noErr;
  };

  // Finder information alone: netatalk's attribute answers, unless an
  // exchange under way marked it (the record then says which place's it is).
  NetatalkValue netatalk;
  int error = -1;
  if ((parts & Metadata::kFinderInfoPart) && !(parts & Metadata::kRecordPart)) {
    error = netatalk.read(dirfd, name);
    if (error == 0 && netatalk.finderInfo(disk) && !netatalk.marked()) {
      out = Metadata{};
      return take(FinderInfoFrom::Netatalk);
    }
  }
  if (OSErr err = readRecordOnly(dirfd, name, out, unreadableIsDefault))
    return err;
  // Settling an exchange gave the place's own.
  if (!(parts & Metadata::kFinderInfoPart) || out.finderInfoFrom != FinderInfoFrom::NotRead)
    return noErr;

  if (error < 0)
    error = netatalk.read(dirfd, name);
  if (error == 0 && netatalk.finderInfo(disk))
    return take(FinderInfoFrom::Netatalk);
  if (error == EACCES && unreadableIsDefault) {
    std::memset(out.finderInfo, 0, sizeof out.finderInfo);
    std::memset(out.extFinderInfo, 0, sizeof out.extFinderInfo);
    out.finderInfoFrom = FinderInfoFrom::Nowhere;
    return noErr;
  }
  if (error > 0 && error != ENODATA && error != EPERM && !noAttributes(error))
    return sys::statusFor(error);
  if (hint != SidecarHint::Absent && mayHaveSidecar(name)) {
    bool folder = false, found = false;
    if (OSErr err = isFolder(folder))
      return err;
    OSErr err = sidecarFinderInfo(dirfd, name, *object, disk, found);
    if (err && !unreadableIsDefault)
      return err;
    if (found)
      return take(FinderInfoFrom::Sidecar);
  }
  // What an earlier version wrote into the record.
  out.takeRecordFinderInfo();
  return noErr;
}

} // namespace

// --- byte order of the Finder information ------------------------------------------

namespace {
/// The widths of the fields of FileInfo and ExtendedFileInfo, and of
/// FolderInfo and ExtendedFolderInfo, in order.
constexpr UInt8 kFileFields[] = {4, 4, 2, 2, 2, 2, /**/ 2, 2, 2, 2, 2, 2, 4};
constexpr UInt8 kFolderFields[] = {2, 2, 2, 2, 2, 2, 2, 2, /**/ 2, 2, 4, 2, 2, 4};
constexpr size_t sum(const UInt8 *widths, size_t n) {
  size_t total = 0;
  for (size_t i = 0; i < n; ++i)
    total += widths[i];
  return total;
}
static_assert(sum(kFileFields, std::size(kFileFields)) == dbl::kFinderInfoSize);
static_assert(sum(kFolderFields, std::size(kFolderFields)) == dbl::kFinderInfoSize);
} // namespace

void convertFinderInfo(const UInt8 in[dbl::kFinderInfoSize], bool folder,
                       UInt8 out[dbl::kFinderInfoSize]) {
  if constexpr (std::endian::native == std::endian::big) {
    std::memcpy(out, in, dbl::kFinderInfoSize);
  } else {
    size_t at = 0;
    for (UInt8 width : folder ? std::span<const UInt8>(kFolderFields) : std::span<const UInt8>(kFileFields)) {
      for (size_t i = 0; i < width; ++i)
        out[at + i] = in[at + width - 1 - i];
      at += width;
    }
  }
}

// --- netatalk's attribute as read ----------------------------------------------------

int NetatalkValue::read(int dirfd, const char *name) {
  size_ = 0;
  data_ = small_;
  ssize_t n = sys::getXattrAt(dirfd, name, dbl::kNetatalkAttribute, small_, sizeof small_);
  // Larger than netatalk writes it (another writer's, with a long comment):
  // read whole, however often it grows meanwhile.
  for (int round = 0; n < 0 && errno == ERANGE && round < 4; ++round) {
    n = sys::getXattrAt(dirfd, name, dbl::kNetatalkAttribute, nullptr, 0);
    if (n < 0)
      break;
    large_.resize(static_cast<size_t>(n));
    data_ = large_.data();
    n = sys::getXattrAt(dirfd, name, dbl::kNetatalkAttribute, large_.data(), large_.size());
  }
  if (n < 0)
    return errno;
  size_ = static_cast<size_t>(n);
  return 0;
}

bool NetatalkValue::marked() const {
  return size_ >= dbl::kFixedSize &&
         std::memcmp(data_ + 8, kExchangeFiller.data(), kExchangeFiller.size()) == 0;
}

// --- reading and writing -----------------------------------------------------------

OSErr Metadata::read(int dirfd, const char *name, Metadata &out) {
  return readParts(dirfd, name, nullptr, kRecordPart | kFinderInfoPart, SidecarHint::Unknown,
                   false, out);
}

OSErr Metadata::readRecord(int dirfd, const char *name, Metadata &out) {
  return readRecordOnly(dirfd, name, out, false);
}

OSErr Metadata::readShown(int dirfd, const char *name, const struct statx &object, unsigned parts,
                          SidecarHint hint, Metadata &out) {
  return readParts(dirfd, name, &object, parts, hint, true, out);
}

OSErr Metadata::write(int dirfd, const char *name) const {
  Metadata record = *this;
  if (finderInfoFrom != FinderInfoFrom::NotRead) {
    std::memset(record.finderInfo, 0, sizeof record.finderInfo);
    std::memset(record.extFinderInfo, 0, sizeof record.extFinderInfo);
    bool noAttributesHere;
    if (OSErr err = placeFinderInfo(dirfd, name, *this, record.isDefault(), noAttributesHere))
      return err;
    if (noAttributesHere)
      return noErr; // a record of defaults, and nowhere to keep one anyway
  }
  if (record.isDefault()) {
    if (sys::removeXattrAt(dirfd, name, kMetadataAttribute) < 0 && errno != ENODATA &&
        errno != EOPNOTSUPP)
      return sys::lastStatus();
    return noErr;
  }
  UInt8 buffer[kEncodedSizeWithNodeID];
  const size_t size = record.encode(buffer);
  if (sys::setXattrAt(dirfd, name, kMetadataAttribute, buffer, size, 0) < 0)
    return sys::lastStatus();
  return noErr;
}

} // namespace quillmate::fm
