#include "platform/filemanager/RefCodec.h"

#include <cstddef>
#include <cstring>
#include <sys/random.h>
#include <unistd.h>

namespace quillmate::fm {
namespace {

constexpr uint32_t kRefMagic = 0x52466d51; // "QmFR"

// Where each field sits in FSRef::hidden (native byte order: a reference
// never leaves the process); the rest is zero.
constexpr size_t kMagicAt = 0;
constexpr size_t kProcessTagAt = 4;
constexpr size_t kIndexAt = 8;
constexpr size_t kGenerationAt = 12;
constexpr size_t kVolumeAt = 16;
static_assert(kVolumeAt + sizeof(FSVolumeRefNum) <= sizeof(FSRef::hidden));

void put32(FSRef *ref, size_t at, uint32_t v) { std::memcpy(ref->hidden + at, &v, 4); }
uint32_t get32(const FSRef *ref, size_t at) {
  uint32_t v;
  std::memcpy(&v, ref->hidden + at, 4);
  return v;
}

} // namespace

RefCodec::RefCodec() {
  if (getrandom(&processTag_, sizeof processTag_, 0) != sizeof processTag_)
    processTag_ = static_cast<uint32_t>(getpid()) * 2654435761u;
}

void RefCodec::encode(uint32_t index, uint32_t generation, FSVolumeRefNum volume,
                      FSRef *ref) const {
  std::memset(ref, 0, sizeof *ref);
  put32(ref, kMagicAt, kRefMagic);
  put32(ref, kProcessTagAt, processTag_);
  put32(ref, kIndexAt, index);
  put32(ref, kGenerationAt, generation);
  std::memcpy(ref->hidden + kVolumeAt, &volume, sizeof volume);
}

OSErr RefCodec::decode(const FSRef *ref, uint32_t &index, uint32_t &generation) const {
  if (!ref)
    return paramErr;
  if (get32(ref, kMagicAt) != kRefMagic || get32(ref, kProcessTagAt) != processTag_)
    return errFSBadFSRef;
  index = get32(ref, kIndexAt);
  generation = get32(ref, kGenerationAt);
  return noErr;
}

} // namespace quillmate::fm
