// The record an exchange leaves on each of its two inodes, and the settling
// of an exchange killed part-way.
//
// An exchange (FSExchangeObjects, Objects.cpp) swaps the inodes of two
// places with one renameat2(RENAME_EXCHANGE), while each place keeps its
// attributes: after the swap each inode is given those of the place it came
// to (applyPlace).  So that a process killed anywhere in between loses no
// place's attributes, each inode first carries an ExchangeRecord in its
// metadata record (version 3, Metadata.h): the attributes of the place it
// stands at, those of the place the swap takes it to, and where each is.
// Whoever reads the record next (Metadata::read, in any process) settles
// it: an inode still at its own place keeps that place's attributes, one
// anywhere else takes the other place's, and the record loses the
// exchange.  Each inode settles alone, so a kill before the swap undoes it
// and a kill after it completes it.
//
// Finder information is a place's attribute too, though it lives in
// netatalk's attribute (Metadata.h), which a reader of Finder information
// alone takes without the record.  So that such a reader meets the record
// while the inode may stand at the other place, an inode whose record holds
// an exchange carries kExchangeFiller in the filler of netatalk's attribute
// (when it has that attribute); writing the place's Finder information
// clears it, before the record loses the exchange.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_EXCHANGERECORD_H
#define QUILLMATE_PLATFORM_FILEMANAGER_EXCHANGERECORD_H

#include "platform/filemanager/Metadata.h"
#include "platform/filemanager/Node.h"

#include <array>
#include <string>

namespace quillmate::fm {

/// The filler of netatalk's attribute of an inode with an exchange under way.
extern const std::array<UInt8, 16> kExchangeFiller;

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

/// An exchange under way, as the record of one of its inodes holds it.
struct ExchangeRecord {
  uint64_t ino = 0; // the inode it was written for (a copy is not it)
  int64_t birth = 0;
  uint64_t homeFolder = 0, homeName = 0; // where the inode stood: folder inode, name digest
  uint64_t awayFolder = 0, awayName = 0; // where the swap takes it
  PlaceAttributes home; // home.meta is the record's own fields
  PlaceAttributes away;

  /// The digest of a name on disk that places are told apart by (FNV-1a,
  /// 64 bits).
  static uint64_t nameDigest(const char *name);
  /// The hidden name beside the place `name` under which the exchange
  /// stages the `._` file of the inode coming to it (Sidecar.h).
  static std::string stagingName(const char *name);

  /// The metadata record of version 3 that holds the exchange.
  void encode(UInt8 out[Metadata::kEncodedSizeWithExchange]) const;
  /// Writes that record onto the inode at `where`, its own fields from
  /// home.meta, then marks its netatalk attribute.  Where the record cannot grow (no user attributes, or no
  /// room beside a large resource fork) nothing is written and the answer
  /// is noErr: the exchange goes on unrecorded, and a kill half-way through
  /// may then leave a place with the other's attributes.  `written`, when
  /// given, says whether it was.
  OSErr write(const Location &where, bool *written = nullptr) const;
  /// Reads it back from an encoded metadata record; false when that shows
  /// no exchange under way.  Each place's Finder information is the one its
  /// record holds (finderInfoFrom not NotRead), to be written to its place.
  bool decode(const UInt8 *data, size_t size);
  /// Settles the exchange on the inode at `dirfd`/`name`, whose record this
  /// is: the inode takes the attributes of the place it stands at, and its
  /// `._` file the place's `._` name (sidecar::settleExchange), and the
  /// record loses the exchange.  `shown` receives what the place shows,
  /// also when the caller may not write the object (then nothing changes on
  /// disk).  A copy of the inode that carried the record along keeps its
  /// own fields.
  void settle(int dirfd, const char *name, Metadata &shown) const;
};

/// Gives the inode at `where` the attributes of place `a`.  The metadata
/// record goes last: writing it ends an exchange under way on the inode, so
/// a kill before that leaves the exchange recorded, to be settled again.
/// `markWritten` (when given) says whether the file-ID mark went to disk.
OSErr applyPlace(const Location &where, const PlaceAttributes &a, bool *markWritten = nullptr);

/// The object's statx after its record was read into `meta`: `located`,
/// or taken again into `again` when the read settled an exchange left
/// half-done (which may change the mode, owner and access time).
const struct statx &afterReading(Metadata &meta, const Location &where,
                                 const struct statx &located, struct statx &again);

} // namespace quillmate::fm

#endif
