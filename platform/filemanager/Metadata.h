// The Mac-only metadata of one object, kept in one small extended attribute.
//
// Attribute "user.quillmate.meta", absent when every field is default.
// Byte layout, little-endian, version 1 (56 bytes):
//   0  u8   version (1)
//   1  u8   flags: 0x01 folder locked, 0x02 creation date set,
//               0x04 backup date set, 0x08 saved write bits valid
//   2  u16  write bits (of 0222) that locking cleared
//   4  u32  text encoding hint
//   8  16   Finder information (the record's bytes as the caller gave them)
//   24 16   extended Finder information
//   40 8    creation date: u16 high seconds, u32 low seconds, u16 fraction
//   48 8    backup date, same layout
// A reader accepts a longer record of a later version (it reads the fields
// it knows) and rejects a shorter or unknown one as absent, so a damaged
// attribute never makes an object unreadable.
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
    kHasSavedWriteBits = 0x08
  };
  static constexpr size_t kEncodedSize = 56;

  UInt8 flags = 0;
  UInt16 savedWriteBits = 0;
  TextEncoding textEncodingHint = 0;
  UInt8 finderInfo[16] = {};
  UInt8 extFinderInfo[16] = {};
  UTCDateTime createDate = {};
  UTCDateTime backupDate = {};

  bool isDefault() const;
  void encode(UInt8 out[kEncodedSize]) const;
  /// False (and *this default) for a record too short or of version 0.
  bool decode(const UInt8 *data, size_t size);

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
