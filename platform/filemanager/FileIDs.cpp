// File IDs, and the node IDs of files.
//
// A file's ID is its node ID: the inode number where that fits (stable for
// the life of the file, in every process), else a number this process hands
// out.  An exchange swaps the inodes of two places while their IDs stay with
// the places, so it records each place's ID in the metadata of the inode
// that now stands there (for that inode only: a copy carrying the attribute
// along is another inode); a regular file's node ID is that recorded one
// when present.  Reading it costs an attribute read, so a file met inside a
// folder settles its ID only when something shows it (nodeIDOf).
//
// Which files were given an ID is remembered in the attribute
// kFileIDAttribute, whose value is the ID (4 bytes, little-endian): it stays
// with the inode through renames and moves (an exchange writes it anew for
// each place), and a copy that carries it along has another ID, so the value
// no longer matches and the copy has no ID yet.  Where the attribute cannot
// be written (no write access, a read-only volume, a file system or object
// without user attributes) or the ID is this process's own, the mark is kept
// in memory for the process instead: the call still succeeds, since the ID
// is real either way.
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

/// The ID is the same in every process: the inode number itself, or the one
/// the file's metadata records for its inode.
bool persistentID(const Node &node, const Location &where) {
  if (node.ino == node.nodeID)
    return true;
  Metadata meta;
  return Metadata::readRecord(where.dirfd, where.name, meta) == noErr &&
         meta.recordedNodeID(node.ino, node.birth) == node.nodeID;
}

UInt32 markValue(const Location &where) {
  UInt8 value[4];
  if (sys::getXattrAt(where.dirfd, where.name, kFileIDAttribute, value, sizeof value) !=
      sizeof value)
    return 0;
  return value[0] | value[1] << 8 | value[2] << 16 | static_cast<UInt32>(value[3]) << 24;
}

// Follow the chain of exchanged files back to the holder of `id`: the file
// whose inode number is `id` holds, when it was exchanged, the ID of the
// place it stands at, which is the inode number of the file that went there
// from that place, and so on round the cycle of exchanges.
constexpr int kLongestExchangeChain = 64;

} // namespace

namespace detail {

UInt32 nodeIDOf(uint32_t index, const Location &where) {
  Metadata meta;
  // Unreadable metadata records nothing: the file shows its inode number.
  if (!NodeTable::shared().settled(index) &&
      Metadata::readRecord(where.dirfd, where.name, meta) != noErr)
    meta = Metadata{};
  return nodeIDOf(index, meta);
}

UInt32 nodeIDOf(uint32_t index, const Metadata &meta) {
  NodeTable &table = NodeTable::shared();
  if (!table.settled(index)) {
    const Node &node = table.node(index);
    table.settle(index, meta.recordedNodeID(node.ino, node.birth));
  }
  return table.node(index).nodeID;
}

UInt32 nodeIDOf(uint32_t index) {
  NodeTable &table = NodeTable::shared();
  Location where;
  if (!table.settled(index) && table.locate(index, where) == noErr)
    return nodeIDOf(index, where);
  table.settle(index, 0); // gone: nothing to read
  return table.node(index).nodeID;
}

uint32_t findByNodeID(FSVolumeRefNum volume, uint32_t id) {
  NodeTable &table = NodeTable::shared();
  uint32_t found = table.findByID(volume, id);
  if (found != kNoNode)
    return found;
  uint64_t ino = id;
  for (int step = 0; step < kLongestExchangeChain; ++step) {
    uint32_t index = table.findByInode(volume, ino);
    if (index == kNoNode || table.node(index).isDirectory)
      return kNoNode;
    Location where;
    if (!table.settled(index) && table.locate(index, where) != noErr)
      return kNoNode;
    const UInt32 held = nodeIDOf(index, where);
    if (held == id)
      return index;
    if (held == ino)
      return kNoNode; // not exchanged: the chain ends here
    ino = held;
  }
  return kNoNode;
}

bool hasFileID(uint32_t index, const Location &where) {
  const Node &node = NodeTable::shared().node(index);
  if (markedInMemory().count(keyOf(node)))
    return true;
  return persistentID(node, where) && markValue(where) == node.nodeID;
}

void markFileIDInMemory(uint32_t index, bool marked) {
  const Node &node = NodeTable::shared().node(index);
  if (marked)
    markedInMemory().insert(keyOf(node));
  else
    markedInMemory().erase(keyOf(node));
}

void setFileIDMark(uint32_t index, const Location &where, bool marked) {
  const Node &node = NodeTable::shared().node(index);
  markFileIDInMemory(index, false);
  if (!marked) {
    if (markValue(where))
      sys::removeXattrAt(where.dirfd, where.name, kFileIDAttribute); // else it cannot count
    return;
  }
  if (persistentID(node, where)) {
    const UInt32 id = node.nodeID;
    const UInt8 value[4] = {static_cast<UInt8>(id), static_cast<UInt8>(id >> 8),
                            static_cast<UInt8>(id >> 16), static_cast<UInt8>(id >> 24)};
    if (sys::setXattrAt(where.dirfd, where.name, kFileIDAttribute, value, sizeof value, 0) == 0)
      return;
  }
  markFileIDInMemory(index, true);
}

} // namespace detail

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
  fp.ioFileID = static_cast<SInt32>(nodeIDOf(index, where));
  if (hasFileID(index, where))
    return finish(fp, fidExists);
  setFileIDMark(index, where, true);
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
  uint32_t index = findByNodeID(volume->refNum, id);
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
