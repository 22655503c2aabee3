#include "platform/filemanager/Metadata.h"

#include "platform/filemanager/ExchangeRecord.h"
#include "platform/filemanager/Syscalls.h"

#include <cerrno>
#include <cstring>

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
      (record::get(buffer, record::kFlags) & Metadata::kExchangePending)) {
    ExchangeRecord exchange;
    if (exchange.decode(buffer, static_cast<size_t>(n)))
      exchange.settle(dirfd, name, out);
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
