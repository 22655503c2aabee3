// An entry of the node table (see NodeTable.h), and where an object is found
// on disk.
//
// An entry is a name in a folder, not an inode (two hard-linked names are two
// entries): it holds its parent entry, its name on disk and the identity the
// object must still have there (inode and birth time: inode numbers are
// reused at once).
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_NODE_H
#define QUILLMATE_PLATFORM_FILEMANAGER_NODE_H

#include <CoreServices/Files.h>

#include <cstdint>
#include <string>

struct statx;

namespace quillmate::fm {

inline constexpr uint32_t kNoNode = 0xFFFFFFFFu;
/// Node::nodeID of a regular file whose ID is not known yet.
inline constexpr uint32_t kUnsettledID = 0;
/// statx fields every identity check asks for.
extern const unsigned kIdentityMask;
/// The birth time in nanoseconds (0 where the file system has none), as
/// Node::birth holds it.
int64_t birthOf(const struct statx &stx);

struct Node {
  std::string name;      // on disk; empty for a volume root
  uint64_t ino = 0;
  int64_t birth = 0;     // birth time in nanoseconds, 0 where unknown
  uint32_t parent = kNoNode;
  uint32_t nodeID = 0;   // kUnsettledID until settled (regular files only)
  uint32_t generation = 1;
  uint32_t changes = 0;  // bumped by this layer's changes inside a folder
  uint32_t handle = 0;   // digest of the file handle (inode generation), 0 if not taken
  FSVolumeRefNum volume = 0;
  bool isDirectory = false;
  bool live = false;
};

/// An object located on disk: `name` inside folder `dirfd` (the table's
/// descriptor or an open iterator's, not the caller's); a volume root is "."
/// inside its own descriptor.
struct Location {
  int dirfd = -1;
  const char *name = ".";
};

} // namespace quillmate::fm

#endif
