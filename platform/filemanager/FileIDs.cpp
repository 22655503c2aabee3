// File IDs.
//
// A file's ID is its node ID: the inode number where that fits (stable for
// the life of the file, in every process), else a number this process hands
// out.  Which files were given an ID is remembered in the attribute
// kFileIDAttribute, whose value is the ID (4 bytes, little-endian): it stays
// with the inode through renames, moves and exchanges, and a copy that
// carries it along has another inode, so the value no longer matches and
// the copy has no ID yet.  Where the attribute cannot be written (no write
// access, a read-only volume, a file system or object without user
// attributes) or the ID is this process's own, the mark is kept in memory
// for the process instead: the call still succeeds, since the ID is real
// either way.
//
// Resolution reaches the objects this process's node table knows: every
// object met through a path, a lookup, a catalog read or an iteration, and
// followed through this layer's renames and moves.  An ID the table does not
// know, or whose file was deleted, replaced or renamed behind the layer's
// back, answers fnfErr: finding an inode by number would need a search of
// the whole volume.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/Syscalls.h"

#include <cstring>
#include <set>
#include <tuple>

namespace quillmate::fm {

using namespace detail;

namespace {

/// Files marked in memory: (volume, inode, birth time), so that a new file
/// on a reused inode is not taken for the old one.  Held under the table's
/// lock.
std::set<std::tuple<FSVolumeRefNum, uint64_t, int64_t>> &markedInMemory() {
  static std::set<std::tuple<FSVolumeRefNum, uint64_t, int64_t>> marks;
  return marks;
}

std::tuple<FSVolumeRefNum, uint64_t, int64_t> keyOf(const Node &node) {
  return {node.volume, node.ino, node.birth};
}

/// The node ID is the inode number itself, the same in every process.
bool persistentID(const Node &node) { return node.ino == node.nodeID; }

bool hasID(const Node &node, const Location &where) {
  if (markedInMemory().count(keyOf(node)))
    return true;
  if (!persistentID(node))
    return false;
  UInt8 value[4];
  if (sys::getXattrAt(where.dirfd, where.name, kFileIDAttribute, value, sizeof value) !=
      sizeof value)
    return false;
  UInt32 id = value[0] | value[1] << 8 | value[2] << 16 | static_cast<UInt32>(value[3]) << 24;
  return id == node.nodeID;
}

void mark(const Node &node, const Location &where) {
  if (persistentID(node)) {
    const UInt32 id = node.nodeID;
    const UInt8 value[4] = {static_cast<UInt8>(id), static_cast<UInt8>(id >> 8),
                            static_cast<UInt8>(id >> 16), static_cast<UInt8>(id >> 24)};
    if (sys::setXattrAt(where.dirfd, where.name, kFileIDAttribute, value, sizeof value, 0) == 0)
      return;
  }
  markedInMemory().insert(keyOf(node));
}

} // namespace

OSErr PosixFileManager::createFileIDRef(HParmBlkPtr pb) {
  if (!pb)
    return paramErr;
  FIDParam &fp = pb->fidParam;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = resolveSpec(fp.ioVRefNum, fp.ioSrcDirID, fp.ioNamePtr, index))
    return finish(fp, err);
  Location where;
  struct statx stx;
  if (OSErr err = table.locate(index, where, &stx))
    return finish(fp, err);
  if (S_ISDIR(stx.stx_mode))
    return finish(fp, notAFileErr);
  const Node &node = table.node(index);
  fp.ioFileID = static_cast<SInt32>(node.nodeID);
  if (hasID(node, where))
    return finish(fp, fidExists);
  mark(node, where);
  return finish(fp, noErr);
}

OSErr PosixFileManager::resolveFileIDRef(HParmBlkPtr pb) {
  if (!pb)
    return paramErr;
  FIDParam &fp = pb->fidParam;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  Volume *volume = table.volume(fp.ioVRefNum); // 0: the default folder's volume
  if (!volume)
    return finish(fp, nsvErr);
  const UInt32 id = static_cast<UInt32>(fp.ioFileID);
  if (id < static_cast<UInt32>(fsRtDirID))
    return finish(fp, fnfErr);
  uint32_t index = table.findByID(volume->refNum, id);
  if (index == kNoNode)
    return finish(fp, fnfErr);
  Location where;
  struct statx stx;
  if (OSErr err = table.locate(index, where, &stx))
    return finish(fp, err);
  if (S_ISDIR(stx.stx_mode))
    return finish(fp, notAFileErr);
  FSSpec spec;
  makeSpec(index, spec);
  fp.ioSrcDirID = spec.parID;
  if (fp.ioNamePtr)
    std::memcpy(fp.ioNamePtr, spec.name, spec.name[0] + 1u);
  return finish(fp, noErr);
}

} // namespace quillmate::fm
