#include "platform/filemanager/DoubleHeader.h"

#include <algorithm>
#include <cstring>

namespace quillmate::fm::dbl {

const std::array<UInt8, 16> kSidecarFiller = {'N', 'e', 't', 'a', 't', 'a', 'l', 'k',
                                              ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

const char *describe(Damage damage) {
  switch (damage) {
  case Damage::None:
    return "sound";
  case Damage::TooShort:
    return "shorter than its header";
  case Damage::BadMagic:
    return "not in the double format";
  case Damage::BadVersion:
    return "of a version other than 2";
  case Damage::TooManyEntries:
    return "declaring too many entries";
  case Damage::EntryPastEnd:
    return "with an entry past its end";
  case Damage::EntriesOverlap:
    return "with overlapping entries";
  }
  return "damaged";
}

size_t Header::sizeNeeded(const UInt8 *data, size_t size) {
  if (size < kFixedSize)
    return kFixedSize;
  size_t count = UInt16(data[24] << 8 | data[25]);
  return kFixedSize + std::min(count, kMaxEntries) * kDescriptorSize;
}

Damage Header::parse(const UInt8 *data, size_t size, uint64_t fileSize, Header &out) {
  if (size < kFixedSize || fileSize < kFixedSize)
    return Damage::TooShort;
  if (get32(data) != kMagic)
    return Damage::BadMagic;
  if (get32(data + 4) != kVersion)
    return Damage::BadVersion;
  std::memcpy(out.filler.data(), data + 8, out.filler.size());
  out.count = UInt16(data[24] << 8 | data[25]);
  if (out.count > kMaxEntries)
    return Damage::TooManyEntries;
  if (size < out.encodedSize() || fileSize < out.encodedSize())
    return Damage::TooShort;

  // The entries with bytes, in file order, to check that none overlaps its
  // neighbour or the header.
  std::array<const Entry *, kMaxEntries> byOffset;
  size_t filled = 0;
  for (size_t i = 0; i < out.count; ++i) {
    const UInt8 *d = data + kFixedSize + i * kDescriptorSize;
    Entry &e = out.entries[i];
    e = Entry{get32(d), get32(d + 4), get32(d + 8)};
    if (e.end() > fileSize)
      return Damage::EntryPastEnd;
    if (e.length)
      byOffset[filled++] = &e;
  }
  std::sort(byOffset.begin(), byOffset.begin() + filled,
            [](const Entry *a, const Entry *b) { return a->offset < b->offset; });
  uint64_t reached = out.encodedSize();
  for (size_t i = 0; i < filled; ++i) {
    if (byOffset[i]->offset < reached)
      return Damage::EntriesOverlap;
    reached = byOffset[i]->end();
  }
  return Damage::None;
}

const Entry *Header::find(UInt32 id) const {
  for (size_t i = 0; i < count; ++i)
    if (entries[i].id == id)
      return &entries[i];
  return nullptr;
}

Entry *Header::find(UInt32 id) {
  return const_cast<Entry *>(static_cast<const Header *>(this)->find(id));
}

void Header::encode(UInt8 *out) const {
  put32(out, kMagic);
  put32(out + 4, kVersion);
  std::memcpy(out + 8, filler.data(), filler.size());
  out[24] = UInt8(count >> 8);
  out[25] = UInt8(count);
  for (size_t i = 0; i < count; ++i) {
    UInt8 *d = out + kFixedSize + i * kDescriptorSize;
    put32(d, entries[i].id);
    put32(d + 4, entries[i].offset);
    put32(d + 8, entries[i].length);
  }
}

uint64_t Header::end() const {
  uint64_t reached = encodedSize();
  for (size_t i = 0; i < count; ++i)
    reached = std::max(reached, entries[i].end());
  return reached;
}

bool Header::isLast(size_t index) const {
  const Entry &last = entries[index];
  for (size_t i = 0; i < count; ++i)
    if (i != index && entries[i].end() > last.offset)
      return false; // it has bytes, or its place, past where this one starts
  return last.offset >= encodedSize();
}

Header sidecarHeader(UInt32 forkLength) {
  Header h;
  h.filler = kSidecarFiller;
  h.count = 2;
  h.entries[0] = Entry{kResourceFork, kSidecarForkOffset, forkLength};
  h.entries[1] = Entry{kFinderInfo, kSidecarFinderInfoOffset, kFinderInfoSize};
  return h;
}

// --- netatalk's attribute -------------------------------------------------------

namespace {

// netatalk's layout: the header with eight descriptors, the Finder
// information, room for a 200-byte comment (declared empty), the dates, the
// AFP file information, and netatalk's four entries of its own, declared
// with no bytes.
constexpr UInt32 kNetatalkFinderInfoAt = 0x7a;
constexpr UInt32 kNetatalkCommentAt = 0x9a;
constexpr UInt32 kNetatalkDatesAt = 0x162;
constexpr UInt32 kNetatalkAFPInfoAt = 0x172;
constexpr UInt32 kNetatalkOwnAt = 0x176;

Header netatalkHeader() {
  Header h;
  h.count = 8;
  h.entries[0] = Entry{kComment, kNetatalkCommentAt, 0};
  h.entries[1] = Entry{kFileDates, kNetatalkDatesAt, 16};
  h.entries[2] = Entry{kFinderInfo, kNetatalkFinderInfoAt, kFinderInfoSize};
  h.entries[3] = Entry{kAFPFileInfo, kNetatalkAFPInfoAt, 4};
  h.entries[4] = Entry{kNetatalkDevice, kNetatalkOwnAt, 0};
  h.entries[5] = Entry{kNetatalkInode, kNetatalkOwnAt + 8, 0};
  h.entries[6] = Entry{kNetatalkSync, kNetatalkOwnAt + 16, 0};
  h.entries[7] = Entry{kNetatalkSavedID, kNetatalkOwnAt + 24, 0};
  return h;
}

} // namespace

bool netatalkFinderInfo(const UInt8 *value, size_t size, UInt8 out[kFinderInfoSize]) {
  Header h;
  if (Header::parse(value, size, size, h) != Damage::None)
    return false;
  const Entry *e = h.find(kFinderInfo);
  if (!e || e->length < kFinderInfoSize)
    return false;
  std::memcpy(out, value + e->offset, kFinderInfoSize);
  return true;
}

std::vector<UInt8> netatalkWithFinderInfo(const UInt8 *existing, size_t size,
                                          const UInt8 finderInfo[kFinderInfoSize],
                                          const FileDates &dates) {
  Header h;
  if (existing && Header::parse(existing, size, size, h) == Damage::None) {
    if (const Entry *e = h.find(kFinderInfo); e && e->length >= kFinderInfoSize) {
      std::vector<UInt8> value(existing, existing + size);
      std::memcpy(value.data() + e->offset, finderInfo, kFinderInfoSize);
      return value;
    }
  }
  std::vector<UInt8> value(kNetatalkSize, 0);
  netatalkHeader().encode(value.data());
  std::memcpy(value.data() + kNetatalkFinderInfoAt, finderInfo, kFinderInfoSize);
  UInt8 *d = value.data() + kNetatalkDatesAt;
  put32(d, UInt32(dates.create));
  put32(d + 4, UInt32(dates.modify));
  put32(d + 8, UInt32(dates.backup));
  put32(d + 12, UInt32(dates.access));
  return value;
}

} // namespace quillmate::fm::dbl
