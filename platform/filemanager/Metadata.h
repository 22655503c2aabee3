// The Mac-only metadata of one object, kept in one small extended attribute.
//
// Attribute "user.quillmate.meta", absent when every field is default.
// Byte layout, little-endian, version 1 (56 bytes):
//   0  u8   version (1, or 2 with the fields from 56)
//   1  u8   flags: 0x01 folder locked, 0x02 creation date set,
//               0x04 backup date set, 0x08 saved write bits valid,
//               0x10 node ID recorded (version 2)
//   2  u16  write bits (of 0222) that locking cleared
//   4  u32  text encoding hint
//   8  16   Finder information (the record's bytes as the caller gave them)
//   24 16   extended Finder information
//   40 8    creation date: u16 high seconds, u32 low seconds, u16 fraction
//   48 8    backup date, same layout
// Version 2 (76 bytes), written only while a node ID is recorded:
//   56 u64  inode number the node ID was recorded for
//   64 i64  that inode's birth time in nanoseconds (0: none known)
//   72 u32  node ID of the place the file stands at (set by an exchange)
// A reader accepts a longer record of a later version (it reads the fields
// it knows) and rejects a shorter or unknown one as absent, so a damaged
// attribute never makes an object unreadable.  A writer of version 1 drops
// the recorded node ID when it rewrites the record.
//
// The resource fork is the attribute "user.quillmate.rsrc", its value the
// fork's bytes.
//
// A file given a file ID carries "user.quillmate.fileid", the ID as a
// little-endian u32; it means something only while it equals the file's
// node ID (see FileIDs.cpp).
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_METADATA_H
#define QUILLMATE_PLATFORM_FILEMANAGER_METADATA_H

#include <CoreServices/Files.h>

#include <cstddef>
#include <cstdint>

namespace quillmate::fm {

inline constexpr const char *kMetadataAttribute = "user.quillmate.meta";
inline constexpr const char *kResourceForkAttribute = "user.quillmate.rsrc";
inline constexpr const char *kFileIDAttribute = "user.quillmate.fileid";

struct Metadata {
  enum : UInt8 {
    kFolderLocked = 0x01,
    kHasCreateDate = 0x02,
    kHasBackupDate = 0x04,
    kHasSavedWriteBits = 0x08,
    kHasNodeID = 0x10
  };
  static constexpr size_t kEncodedSize = 56;           // version 1
  static constexpr size_t kEncodedSizeWithNodeID = 76; // version 2

  UInt8 flags = 0;
  UInt16 savedWriteBits = 0;
  TextEncoding textEncodingHint = 0;
  UInt8 finderInfo[16] = {};
  UInt8 extFinderInfo[16] = {};
  UTCDateTime createDate = {};
  UTCDateTime backupDate = {};
  // The node ID of the place the file stands at, where that is not its
  // inode number (after an exchange), and the inode it was recorded for: a
  // copy that carries the attribute along is another inode, so the ID is
  // not taken for its own.
  UInt32 nodeID = 0;
  uint64_t nodeIDInode = 0;
  int64_t nodeIDBirth = 0;

  bool isDefault() const;
  /// Writes the record and gives its length: kEncodedSize, or
  /// kEncodedSizeWithNodeID while a node ID is recorded.
  size_t encode(UInt8 out[kEncodedSizeWithNodeID]) const;
  /// False (and *this default) for a record too short or of version 0.
  bool decode(const UInt8 *data, size_t size);

  /// The node ID recorded for the inode `ino` born `birth`; 0 when none is
  /// recorded, or it was recorded for another inode.
  UInt32 recordedNodeID(uint64_t ino, int64_t birth) const;
  /// Records `id` as the node ID of inode `ino` born `birth`; an ID that is
  /// the inode number itself needs no record, and clears it.
  void recordNodeID(UInt32 id, uint64_t ino, int64_t birth);
  void forgetNodeID() { recordNodeID(0, 0, 0); }

  /// Reads the record of `dirfd`/`name`: noErr with a default record when
  /// the attribute is absent or unusable, or the file system has none.
  /// A record the caller may not read (EACCES) is afpAccessDenied: reads
  /// that lead to a write or a lock check use this one, so that fields the
  /// caller cannot see are never rewritten as defaults.
  static OSErr read(int dirfd, const char *name, Metadata &out);
  /// The record as a catalog read shows it: like read(), but a record the
  /// caller may not read (another user's folder or file) shows as defaults,
  /// so that such an object still reads.
  static OSErr readShown(int dirfd, const char *name, Metadata &out);
  /// Writes the record, or removes the attribute when it is all default.
  OSErr write(int dirfd, const char *name) const;
};

} // namespace quillmate::fm

#endif
