// How an FSRef names an entry of the node table.
//
// A reference holds the entry's index and generation, its volume, a magic
// number and a tag drawn once per process.  decode() accepts only what
// encode() wrote in this process: a reference from another process, a zeroed
// or a damaged one is errFSBadFSRef, never some other entry.  The bytes of a
// reference never change for the life of its entry (it holds no node ID: a
// file's may be settled later), so references compare by their bytes.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_REFCODEC_H
#define QUILLMATE_PLATFORM_FILEMANAGER_REFCODEC_H

#include <CoreServices/Files.h>

#include <cstdint>

namespace quillmate::fm {

class RefCodec {
public:
  /// Draws the process tag.
  RefCodec();
  /// A codec with a tag of the caller's choosing, for tests.
  explicit RefCodec(uint32_t processTag) : processTag_(processTag) {}

  void encode(uint32_t index, uint32_t generation, FSVolumeRefNum volume, FSRef *ref) const;
  /// The index and generation `ref` holds: paramErr for no reference,
  /// errFSBadFSRef for one this process's encode() did not write.  Whether
  /// the entry still lives is the table's to check.
  OSErr decode(const FSRef *ref, uint32_t &index, uint32_t &generation) const;

private:
  uint32_t processTag_;
};

} // namespace quillmate::fm

#endif
