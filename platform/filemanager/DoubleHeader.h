// The header of RFC 1740's double format (version 2), which two places where
// Linux keeps Mac metadata share: the `._name` file beside a file, which holds
// its resource fork (and, where the file system has no extended attributes,
// its Finder information), and netatalk's attribute
// "user.org.netatalk.Metadata", which holds the Finder information that a
// file server serves to Mac clients.
//
// Layout, big-endian (offset: size, field):
//   at 0:  u32, magic 0x00051607
//   at 4:  u32, version 0x00020000
//   at 8:  16 bytes, filler (writers put their name or zeros there)
//   at 24: u16, number of entries
//   at 26: 12 bytes a descriptor per entry: u32 id, u32 offset, u32 length
// followed by the entries' bytes wherever the descriptors put them.
//
// Parsing checks everything a damaged or hostile header could get wrong
// before anyone reads an entry: the magic and version, a count that fits the
// bytes given and kMaxEntries, every entry inside the file, no two entries
// (nor an entry and the header) sharing a byte.  It allocates nothing.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_DOUBLEHEADER_H
#define QUILLMATE_PLATFORM_FILEMANAGER_DOUBLEHEADER_H

#include <CoreServices/Files.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmate::fm::dbl {

inline constexpr UInt32 kMagic = 0x00051607;
inline constexpr UInt32 kVersion = 0x00020000;
/// Magic, version, filler and the entry count.
inline constexpr size_t kFixedSize = 26;
inline constexpr size_t kDescriptorSize = 12;
/// The formats in use declare 2 entries (a `._` file) to 8 (netatalk's
/// attribute); a header that declares more than this is refused as damaged.
inline constexpr size_t kMaxEntries = 32;
inline constexpr size_t kMaxHeaderSize = kFixedSize + kMaxEntries * kDescriptorSize;
/// The Finder information entry: the 16-byte Finder information followed by
/// the 16-byte extended Finder information.
inline constexpr size_t kFinderInfoSize = 32;

enum EntryID : UInt32 {
  kResourceFork = 2,
  kComment = 4,
  kFileDates = 8,
  kFinderInfo = 9,
  kAFPFileInfo = 14,
  // netatalk's own entries, which its attribute declares with no bytes.
  kNetatalkDevice = 0x80444556,
  kNetatalkInode = 0x80494E4F,
  kNetatalkSync = 0x8053594E,
  kNetatalkSavedID = 0x8053567E,
};

struct Entry {
  UInt32 id = 0;
  UInt32 offset = 0;
  UInt32 length = 0;
  uint64_t end() const { return uint64_t(offset) + length; }
};

/// What parse() found wrong.
enum class Damage {
  None,
  TooShort,       // fewer bytes than the fixed part and the descriptors need
  BadMagic,
  BadVersion,
  TooManyEntries, // more than kMaxEntries
  EntryPastEnd,   // an entry reaches past the end of the file
  EntriesOverlap, // two entries, or an entry and the header, share bytes
};
const char *describe(Damage damage);

struct Header {
  std::array<UInt8, 16> filler = {};
  std::array<Entry, kMaxEntries> entries = {};
  size_t count = 0;

  /// Reads the header at the start of `data` (`size` bytes of it at hand)
  /// of a file or attribute `fileSize` bytes long.  On damage `out` is
  /// unspecified.
  static Damage parse(const UInt8 *data, size_t size, uint64_t fileSize, Header &out);
  /// How many bytes parse() needs to see: kFixedSize when `data` holds fewer
  /// than that, else the fixed part and the declared descriptors (capped).
  static size_t sizeNeeded(const UInt8 *data, size_t size);

  /// The entry with `id`; null when the header has none.
  const Entry *find(UInt32 id) const;
  Entry *find(UInt32 id);
  size_t indexOf(const Entry &entry) const { return size_t(&entry - entries.data()); }
  /// Where the length of entry `index` stands in the encoded header, for a
  /// change of that length in place.
  static size_t lengthFieldAt(size_t index) { return kFixedSize + index * kDescriptorSize + 8; }

  size_t encodedSize() const { return kFixedSize + count * kDescriptorSize; }
  /// Writes the fixed part and the descriptors (encodedSize() bytes).
  void encode(UInt8 *out) const;
  /// The end of the entry that reaches furthest; encodedSize() with none.
  uint64_t end() const;
  /// Whether entry `index` is the last in the file: no other entry, not even
  /// an empty one, reaches past its start, so that it can grow and shrink in
  /// place without moving another.
  bool isLast(size_t index) const;
};

// --- `._` files ---------------------------------------------------------------

/// A `._` file as this layer creates it, laid out as the file server writes
/// it so that each reads the other's: the resource fork's descriptor first,
/// the Finder information at kSidecarFinderInfoOffset, the resource fork
/// behind it at kSidecarForkOffset, last, so that it grows in place.
inline constexpr UInt32 kSidecarFinderInfoOffset = 0x32;
inline constexpr UInt32 kSidecarForkOffset = 0x52;
Header sidecarHeader(UInt32 forkLength);
/// The filler that file server writes (and this layer with it).
extern const std::array<UInt8, 16> kSidecarFiller;

// --- netatalk's attribute -----------------------------------------------------

inline constexpr const char *kNetatalkAttribute = "user.org.netatalk.Metadata";
/// The length of the attribute as netatalk 3 and the file server write it.
inline constexpr size_t kNetatalkSize = 402;

/// Dates as the format keeps them: signed seconds since 2000-01-01 UTC,
/// kUnknownDate where not known.
inline constexpr SInt32 kUnknownDate = INT32_MIN;
struct FileDates {
  SInt32 create = kUnknownDate, modify = kUnknownDate, backup = kUnknownDate,
         access = kUnknownDate;
};

/// The Finder information an attribute value holds: false when the value is
/// damaged or has no Finder information entry of kFinderInfoSize bytes or more.
bool netatalkFinderInfo(const UInt8 *value, size_t size, UInt8 out[kFinderInfoSize]);
/// The attribute's value with `finderInfo`: `existing` with its Finder
/// information replaced in place when it is a sound value that has the
/// entry (every other entry kept, the comment and file server's own included),
/// else a new value in netatalk's layout with `dates`.
std::vector<UInt8> netatalkWithFinderInfo(const UInt8 *existing, size_t size,
                                          const UInt8 finderInfo[kFinderInfoSize],
                                          const FileDates &dates);

/// Big-endian fields.
inline UInt32 get32(const UInt8 *p) {
  return UInt32(p[0]) << 24 | UInt32(p[1]) << 16 | UInt32(p[2]) << 8 | p[3];
}
inline void put32(UInt8 *p, UInt32 v) {
  p[0] = UInt8(v >> 24);
  p[1] = UInt8(v >> 16);
  p[2] = UInt8(v >> 8);
  p[3] = UInt8(v);
}

} // namespace quillmate::fm::dbl

#endif
