// The Mac-only metadata of one object: its Finder information where the Mac
// and the file server read it, and the rest in one small extended attribute.
//
// Finder information (both 16-byte halves, big-endian as the Mac keeps them)
// lives in netatalk's attribute "user.org.netatalk.Metadata"
// (dbl::kNetatalkAttribute, the layout netatalk 3 and the file server
// write), or, on a file system without user extended attributes, in the
// Finder information entry of the object's `._` file (Sidecar.h).  Reading
// takes, in order: netatalk's attribute when it has a Finder information
// entry, the `._` file's when it is attached and not all zeros, then the
// record below, where earlier versions kept it (in this machine's byte
// order).  Writing puts it in its place and leaves the record's fields zero,
// so a record written before moves when next written.
//
// Attribute "user.quillmate.meta", absent when every field is default: a
// little-endian record whose fields namespace `record` below lays out.
// Version 1 is Metadata::kEncodedSize bytes; version 2
// (kEncodedSizeWithNodeID) is written only while a node ID is recorded;
// version 3 (kEncodedSizeWithExchange) only while an exchange is under way
// (ExchangeRecord.h), and then holds each place's Finder information too.
// The record of a later version begins with that of the
// earlier ones, so a reader of an earlier version sees the file as it was
// before the exchange.
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

#include "platform/filemanager/Sidecar.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <sys/types.h>
#include <vector>

namespace quillmate::fm {

/// The metadata record's fields: where each starts and how many bytes it
/// takes.  The encoders and decoders read and write through these names
/// only; the static_asserts below check that the fields follow each other
/// without a gap and end where each version ends.
namespace record {

struct Field {
  size_t at;
  size_t size;
  constexpr size_t end() const { return at + size; }
};

// Version 1.
inline constexpr Field kVersion{0, 1};       // 1, 2 with the node ID, 3 during an exchange
inline constexpr Field kFlags{1, 1};         // Metadata::kFolderLocked...
inline constexpr Field kSavedWriteBits{2, 2}; // write bits (of 0222) that locking cleared
inline constexpr Field kTextEncoding{4, 4};  // text encoding hint
inline constexpr Field kFinderInfo{8, 16};   // earlier versions' place: the caller's bytes; zeros now
inline constexpr Field kExtFinderInfo{24, 16};
inline constexpr Field kCreateDate{40, 8};   // a date, kDate* layout
inline constexpr Field kBackupDate{48, 8};   // a date, kDate* layout
// Version 2, while a node ID is recorded (Metadata::kHasNodeID).
inline constexpr Field kNodeIDInode{56, 8};  // inode number the node ID was recorded for
inline constexpr Field kNodeIDBirth{64, 8};  // its birth time in nanoseconds, signed; 0 none known
inline constexpr Field kNodeID{72, 4};       // node ID of the place the file stands at
// Version 3, while an exchange is under way (Metadata::kExchangePending).
// The fields before are the record of the inode's own place ("home"), node
// ID or not.
inline constexpr Field kExchangeInode{76, 8}; // inode number the exchange was written for
inline constexpr Field kExchangeBirth{84, 8}; // its birth time in nanoseconds, signed
inline constexpr Field kHomeFolder{92, 8};   // inode of the folder of the home place
inline constexpr Field kHomeName{100, 8};    // digest of the inode's name there
inline constexpr Field kAwayFolder{108, 8};  // the same for the place the exchange takes it to
inline constexpr Field kAwayName{116, 8};
inline constexpr Field kHomePlace{124, 28};  // home place's attributes, kPlace* layout
inline constexpr Field kAwayPlace{152, 28};  // away place's attributes, kPlace* layout
inline constexpr Field kAwayRecord{180, 76}; // away place's record, version-2 layout

// A date, from the start of its field.
inline constexpr Field kDateHighSeconds{0, 2};
inline constexpr Field kDateLowSeconds{2, 4};
inline constexpr Field kDateFraction{6, 2};

// A place's attributes, from the start of kHomePlace or kAwayPlace.
inline constexpr Field kPlaceMode{0, 4};
inline constexpr Field kPlaceOwner{4, 4};
inline constexpr Field kPlaceGroup{8, 4};
inline constexpr Field kPlaceFileIDMark{12, 4};    // the place's file ID, 0 for none
inline constexpr Field kPlaceAccessSeconds{16, 8}; // access time, signed
inline constexpr Field kPlaceAccessNanoseconds{24, 4};

/// Whether `fields` follow each other from offset `from` without a gap and
/// end at `to`.
constexpr bool tiles(size_t from, std::initializer_list<Field> fields, size_t to) {
  for (const Field &f : fields) {
    if (f.at != from)
      return false;
    from = f.end();
  }
  return from == to;
}

/// The unsigned value of field `f` of `base`, little-endian.
inline uint64_t get(const uint8_t *base, Field f) {
  uint64_t v = 0;
  for (size_t i = f.size; i-- > 0;)
    v = (v << 8) | base[f.at + i];
  return v;
}
/// Writes the low f.size bytes of `v` into field `f` of `base`.
inline void put(uint8_t *base, Field f, uint64_t v) {
  for (size_t i = 0; i < f.size; ++i, v >>= 8)
    base[f.at + i] = static_cast<uint8_t>(v);
}

} // namespace record

inline constexpr const char *kMetadataAttribute = "user.quillmate.meta";
inline constexpr const char *kResourceForkAttribute = "user.quillmate.rsrc";
inline constexpr const char *kFileIDAttribute = "user.quillmate.fileid";

/// The Finder information and extended Finder information (16 bytes each)
/// as FSCatalogInfo holds them, in this machine's byte order (FileInfo and
/// ExtendedFileInfo, or FolderInfo and ExtendedFolderInfo for a folder),
/// turned into the big-endian bytes the Mac and the file server keep, or
/// back: each field is swapped by its width, and the widths differ between
/// files and folders.
void convertFinderInfo(const UInt8 in[dbl::kFinderInfoSize], bool folder,
                       UInt8 out[dbl::kFinderInfoSize]);

/// Where an object's Finder information was found.
enum class FinderInfoFrom : UInt8 {
  NotRead,  // not looked for: the fields hold what the record holds
  Nowhere,  // no place holds any: zeros
  Netatalk, // netatalk's attribute
  Sidecar,  // the `._` file
  Record,   // the record (written by an earlier version, or an exchange's)
};

struct Metadata {
  /// The record's flags (record::kFlags).
  enum : UInt8 {
    kFolderLocked = 0x01,
    kHasCreateDate = 0x02,
    kHasBackupDate = 0x04,
    kHasSavedWriteBits = 0x08, // savedWriteBits is valid
    kHasNodeID = 0x10,         // version 2: the node ID fields are valid
    kExchangePending = 0x20    // version 3: an exchange is under way
  };
  static constexpr size_t kEncodedSize = record::kBackupDate.end();           // version 1
  static constexpr size_t kEncodedSizeWithNodeID = record::kNodeID.end();      // version 2
  static constexpr size_t kEncodedSizeWithExchange = record::kAwayRecord.end(); // version 3

  UInt8 flags = 0;
  UInt16 savedWriteBits = 0;
  TextEncoding textEncodingHint = 0;
  /// In this machine's byte order, as FSCatalogInfo holds them.
  UInt8 finderInfo[16] = {};
  UInt8 extFinderInfo[16] = {};
  /// Where finderInfo and extFinderInfo come from.  Unless NotRead they are
  /// the object's wherever it keeps them, and write() puts them there.
  FinderInfoFrom finderInfoFrom = FinderInfoFrom::NotRead;
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
  /// Takes the Finder information the record holds for the object's own
  /// (finderInfoFrom Record, or Nowhere when it is all zeros).
  void takeRecordFinderInfo();

  /// What a read takes from disk.
  enum Parts : unsigned {
    kRecordPart = 1,     // the record's fields
    kFinderInfoPart = 2, // the Finder information, from wherever it lives
  };

  /// Reads the record of `dirfd`/`name` and its Finder information: noErr
  /// with defaults where there is nothing, or the file system keeps no user
  /// attributes.  A record the caller may not read (EACCES) is
  /// afpAccessDenied: reads that lead to a write use this one, so that
  /// fields the caller cannot see are never rewritten as defaults.
  static OSErr read(int dirfd, const char *name, Metadata &out);
  /// The record alone, for its lock, dates and node ID (finderInfoFrom
  /// NotRead): one attribute read.
  static OSErr readRecord(int dirfd, const char *name, Metadata &out);
  /// The `parts` of the object `dirfd`/`name` (statx `object`, with at
  /// least kIdentityMask) as a catalog read shows them: a record or Finder
  /// information the caller may not read (another user's folder or file)
  /// shows as defaults, so that such an object still reads.  `hint` says
  /// what the caller knows of the object's `._` file.
  static OSErr readShown(int dirfd, const char *name, const struct statx &object, unsigned parts,
                         SidecarHint hint, Metadata &out);
  /// Writes the record, or removes the attribute when it is all default;
  /// unless finderInfoFrom is NotRead, first the Finder information into
  /// its place (where it differs from what is there).  Either way no
  /// exchange is under way on the object any more.  Where the file system
  /// keeps no user attributes only the Finder information is kept (in the
  /// `._` file): a record with anything else is errFSOperationNotSupported,
  /// and then nothing is written.
  OSErr write(int dirfd, const char *name) const;
};

/// netatalk's attribute of an object, as read: its value lies in a buffer
/// of its own up to the size netatalk writes, on the heap only beyond.
class NetatalkValue {
public:
  NetatalkValue() = default;
  NetatalkValue(const NetatalkValue &) = delete;
  NetatalkValue &operator=(const NetatalkValue &) = delete;

  /// Reads the attribute of `dirfd`/`name`: 0, or the errno of the read
  /// (ENODATA: it has none; EOPNOTSUPP: the file system keeps none).
  int read(int dirfd, const char *name);
  const UInt8 *data() const { return data_; }
  size_t size() const { return size_; }
  /// Its Finder information (big-endian): false when it is damaged or has
  /// no Finder information entry.
  bool finderInfo(UInt8 out[dbl::kFinderInfoSize]) const {
    return dbl::netatalkFinderInfo(data_, size_, out);
  }
  /// Whether an exchange under way marked it (kExchangeFiller).
  bool marked() const;

private:
  UInt8 small_[512];
  std::vector<UInt8> large_;
  const UInt8 *data_ = small_;
  size_t size_ = 0;
};

namespace record {
static_assert(tiles(0,
                    {kVersion, kFlags, kSavedWriteBits, kTextEncoding, kFinderInfo,
                     kExtFinderInfo, kCreateDate, kBackupDate},
                    56));
static_assert(tiles(Metadata::kEncodedSize, {kNodeIDInode, kNodeIDBirth, kNodeID}, 76));
static_assert(tiles(Metadata::kEncodedSizeWithNodeID,
                    {kExchangeInode, kExchangeBirth, kHomeFolder, kHomeName, kAwayFolder,
                     kAwayName, kHomePlace, kAwayPlace, kAwayRecord},
                    256));
static_assert(kAwayRecord.size == Metadata::kEncodedSizeWithNodeID);
static_assert(tiles(0, {kDateHighSeconds, kDateLowSeconds, kDateFraction}, kCreateDate.size));
static_assert(tiles(0,
                    {kPlaceMode, kPlaceOwner, kPlaceGroup, kPlaceFileIDMark,
                     kPlaceAccessSeconds, kPlaceAccessNanoseconds},
                    kHomePlace.size));
static_assert(kAwayPlace.size == kHomePlace.size);
} // namespace record

} // namespace quillmate::fm

#endif
