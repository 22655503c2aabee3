#include "platform/filemanager/Metadata.h"

#include "platform/filemanager/Syscalls.h"

#include <cerrno>
#include <cstring>

namespace quillmate::fm {
namespace {

constexpr UInt8 kVersion = 1;

void put16(UInt8 *p, UInt16 v) {
  p[0] = static_cast<UInt8>(v);
  p[1] = static_cast<UInt8>(v >> 8);
}
void put32(UInt8 *p, UInt32 v) {
  put16(p, static_cast<UInt16>(v));
  put16(p + 2, static_cast<UInt16>(v >> 16));
}
UInt16 get16(const UInt8 *p) { return static_cast<UInt16>(p[0] | (p[1] << 8)); }
UInt32 get32(const UInt8 *p) { return get16(p) | (static_cast<UInt32>(get16(p + 2)) << 16); }
void put64(UInt8 *p, uint64_t v) {
  put32(p, static_cast<UInt32>(v));
  put32(p + 4, static_cast<UInt32>(v >> 32));
}
uint64_t get64(const UInt8 *p) { return get32(p) | (static_cast<uint64_t>(get32(p + 4)) << 32); }

void putDate(UInt8 *p, const UTCDateTime &d) {
  put16(p, d.highSeconds);
  put32(p + 2, d.lowSeconds);
  put16(p + 6, d.fraction);
}
UTCDateTime getDate(const UInt8 *p) {
  UTCDateTime d;
  d.highSeconds = get16(p);
  d.lowSeconds = get32(p + 2);
  d.fraction = get16(p + 6);
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

size_t Metadata::encode(UInt8 out[kEncodedSizeWithNodeID]) const {
  const bool withNodeID = flags & kHasNodeID;
  const size_t size = withNodeID ? kEncodedSizeWithNodeID : kEncodedSize;
  std::memset(out, 0, size);
  out[0] = withNodeID ? 2 : 1;
  out[1] = flags & static_cast<UInt8>(~kExchangePending);
  put16(out + 2, savedWriteBits);
  put32(out + 4, textEncodingHint);
  std::memcpy(out + 8, finderInfo, 16);
  std::memcpy(out + 24, extFinderInfo, 16);
  putDate(out + 40, createDate);
  putDate(out + 48, backupDate);
  if (withNodeID) {
    put64(out + 56, nodeIDInode);
    put64(out + 64, static_cast<uint64_t>(nodeIDBirth));
    put32(out + 72, nodeID);
  }
  return size;
}

bool Metadata::decode(const UInt8 *data, size_t size) {
  *this = Metadata{};
  if (size < kEncodedSize || data[0] == 0)
    return false;
  flags = data[1] & (kFolderLocked | kHasCreateDate | kHasBackupDate | kHasSavedWriteBits);
  savedWriteBits = get16(data + 2) & 0222;
  textEncodingHint = get32(data + 4);
  std::memcpy(finderInfo, data + 8, 16);
  std::memcpy(extFinderInfo, data + 24, 16);
  createDate = getDate(data + 40);
  backupDate = getDate(data + 48);
  if (data[0] >= 2 && size >= kEncodedSizeWithNodeID && (data[1] & kHasNodeID)) {
    flags |= kHasNodeID;
    nodeIDInode = get64(data + 56);
    nodeIDBirth = static_cast<int64_t>(get64(data + 64));
    nodeID = get32(data + 72);
  }
  return true;
}

UInt32 Metadata::recordedNodeID(uint64_t ino, int64_t birth) const {
  if (!(flags & kHasNodeID) || nodeIDInode != ino || nodeIDBirth != birth)
    return 0;
  return nodeID;
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

// A place's mode, owner, group, file-ID mark and access time: 28 bytes.
void putPlace(UInt8 *p, const PlaceAttributes &a) {
  put32(p, static_cast<UInt32>(a.mode));
  put32(p + 4, static_cast<UInt32>(a.uid));
  put32(p + 8, static_cast<UInt32>(a.gid));
  put32(p + 12, a.fileIDMark);
  put64(p + 16, static_cast<uint64_t>(a.atime.tv_sec));
  put32(p + 24, static_cast<UInt32>(a.atime.tv_nsec));
}
void getPlace(const UInt8 *p, PlaceAttributes &a) {
  a.mode = static_cast<mode_t>(get32(p) & 07777);
  a.uid = static_cast<uid_t>(get32(p + 4));
  a.gid = static_cast<gid_t>(get32(p + 8));
  a.fileIDMark = get32(p + 12);
  a.atime.tv_sec = static_cast<time_t>(get64(p + 16));
  a.atime.tv_nsec = static_cast<long>(get32(p + 24) % 1000000000u);
}

} // namespace

uint64_t PendingExchange::nameDigest(const char *name) {
  uint64_t h = 0xcbf29ce484222325u;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p)
    h = (h ^ *p) * 0x100000001b3u;
  return h;
}

OSErr PendingExchange::write(int dirfd, const char *name, const PendingExchange &pending) {
  UInt8 out[Metadata::kEncodedSizeWithExchange] = {};
  pending.home.meta.encode(out);
  out[0] = 3;
  out[1] |= Metadata::kExchangePending;
  put64(out + 76, pending.ino);
  put64(out + 84, static_cast<uint64_t>(pending.birth));
  put64(out + 92, pending.homeFolder);
  put64(out + 100, pending.homeName);
  put64(out + 108, pending.awayFolder);
  put64(out + 116, pending.awayName);
  putPlace(out + 124, pending.home);
  putPlace(out + 152, pending.away);
  pending.away.meta.encode(out + 180);
  if (sys::setXattrAt(dirfd, name, kMetadataAttribute, out, sizeof out, 0) < 0)
    return sys::lastStatus();
  return noErr;
}

bool PendingExchange::decode(const UInt8 *data, size_t size) {
  if (size < Metadata::kEncodedSizeWithExchange || data[0] < 3 ||
      !(data[1] & Metadata::kExchangePending))
    return false;
  if (!home.meta.decode(data, Metadata::kEncodedSizeWithNodeID) ||
      !away.meta.decode(data + 180, Metadata::kEncodedSizeWithNodeID))
    return false;
  ino = get64(data + 76);
  birth = static_cast<int64_t>(get64(data + 84));
  homeFolder = get64(data + 92);
  homeName = get64(data + 100);
  awayFolder = get64(data + 108);
  awayName = get64(data + 116);
  getPlace(data + 124, home);
  getPlace(data + 152, away);
  return true;
}

namespace {

OSErr readRecord(int dirfd, const char *name, Metadata &out, bool unreadableIsDefault) {
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
      (buffer[1] & Metadata::kExchangePending)) {
    PendingExchange pending;
    if (pending.decode(buffer, static_cast<size_t>(n)))
      settleExchange(dirfd, name, pending, out);
  }
  return noErr;
}

} // namespace

OSErr Metadata::read(int dirfd, const char *name, Metadata &out) {
  return readRecord(dirfd, name, out, false);
}

OSErr Metadata::readShown(int dirfd, const char *name, Metadata &out) {
  return readRecord(dirfd, name, out, true);
}

OSErr Metadata::write(int dirfd, const char *name) const {
  if (isDefault()) {
    if (sys::removeXattrAt(dirfd, name, kMetadataAttribute) < 0 && errno != ENODATA &&
        errno != EOPNOTSUPP)
      return sys::lastStatus();
    return noErr;
  }
  UInt8 buffer[kEncodedSizeWithNodeID];
  const size_t size = encode(buffer);
  if (sys::setXattrAt(dirfd, name, kMetadataAttribute, buffer, size, 0) < 0)
    return sys::lastStatus();
  return noErr;
}

} // namespace quillmate::fm
