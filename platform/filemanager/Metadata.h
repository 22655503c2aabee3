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
// Version 3 (256 bytes), written only while an exchange is under way
// (flag 0x20); the fields to 76 are as in version 2, node ID or not:
//   76  u64  inode number the exchange was written for
//   84  i64  that inode's birth time in nanoseconds
//   92  u64  inode of the folder of the inode's own place ("home")
//   100 u64  digest of its name there (FNV-1a, 64 bits)
//   108 u64  inode of the folder of the place the exchange takes it to ("away")
//   116 u64  digest of the name there
//   124 28   home place's attributes: u32 mode, u32 uid, u32 gid, u32 file-ID
//            mark (0: none), i64 access time seconds, u32 nanoseconds
//   152 28   away place's attributes, same layout
//   180 76   away place's record, version-2 layout
// The record before 76 is what the home place shows, so a reader of an
// earlier version sees the file as it was before the exchange.
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
#include <ctime>
#include <sys/types.h>

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
    kHasNodeID = 0x10,
    kExchangePending = 0x20
  };
  static constexpr size_t kEncodedSize = 56;           // version 1
  static constexpr size_t kEncodedSizeWithNodeID = 76; // version 2
  static constexpr size_t kEncodedSizeWithExchange = 256; // version 3

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
  /// Set by read() when it found an exchange under way and settled it (the
  /// object's mode, owner or access time may have changed since its statx).
  bool settledExchange = false;

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
  /// Either way no exchange is under way on the object any more.
  OSErr write(int dirfd, const char *name) const;
};

/// What stays with a place (a name in a folder) when two files exchange
/// their inodes.
struct PlaceAttributes {
  Metadata meta; // with the place's node ID recorded for the inode standing there
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  struct timespec atime = {};
  UInt32 fileIDMark = 0; // the value of kFileIDAttribute the place carries; 0 none
};

/// An exchange under way, written into the record of each of the two inodes
/// before they are swapped.  Whoever reads the record next decides from the
/// inode's place whether the swap happened, and gives the inode the
/// attributes of the place it stands at (settleExchange, Objects.cpp).
struct PendingExchange {
  uint64_t ino = 0; // the inode it was written for (a copy is not it)
  int64_t birth = 0;
  uint64_t homeFolder = 0, homeName = 0; // where the inode stood: folder inode, name digest
  uint64_t awayFolder = 0, awayName = 0; // where the swap takes it
  PlaceAttributes home; // home.meta is the record's own fields
  PlaceAttributes away;

  /// The digest of a name on disk that places are told apart by.
  static uint64_t nameDigest(const char *name);
  /// Writes `pending` into the record of `dirfd`/`name` (its own fields
  /// from pending.home.meta).
  static OSErr write(int dirfd, const char *name, const PendingExchange &pending);
  /// Reads it back from an encoded record; false when none is under way.
  bool decode(const UInt8 *data, size_t size);
};

/// Settles the exchange `pending` found in the record of `dirfd`/`name`:
/// the inode takes the attributes of the place it stands at and the record
/// loses the exchange.  `shown` receives what the place shows, also when the
/// caller may not write the object (then nothing changes on disk).
void settleExchange(int dirfd, const char *name, const PendingExchange &pending,
                    Metadata &shown);

} // namespace quillmate::fm

#endif
