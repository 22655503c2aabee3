#include "platform/filemanager/NodeIDs.h"

namespace quillmate::fm {
namespace {

constexpr uint64_t kFirstRealID = 3; // 1 and 2 are the root's parent and the root

} // namespace

uint32_t NodeIDs::assign(Volume &v, uint64_t ino) {
  if (ino >= kFirstRealID && ino <= 0xFFFFFFFFu &&
      !synthetic_.count(key(v.refNum, static_cast<uint32_t>(ino))))
    return static_cast<uint32_t>(ino);
  for (;;) {
    uint32_t id = v.nextSyntheticID--;
    if (id < kFirstRealID)
      v.nextSyntheticID = 0xFFFFFFFFu;
    else if (inodes_.find(v.refNum, id) == kNoNode && !synthetic_.count(key(v.refNum, id)))
      return id;
  }
}

bool NodeIDs::heldByOther(FSVolumeRefNum volume, uint32_t id, uint32_t index) const {
  auto it = synthetic_.find(key(volume, id));
  if (it != synthetic_.end() && it->second != index)
    return true;
  uint32_t byInode = inodes_.find(volume, id);
  return byInode != kNoNode && byInode != index && nodes_[byInode].nodeID == id;
}

void NodeIDs::settle(uint32_t index, Volume &v, uint32_t recorded) {
  Node &n = nodes_[index];
  // Another name of a hard-linked file shows the ID the file has already.
  uint32_t id = kUnsettledID;
  inodes_.each(n.volume, n.ino, [&](uint32_t i) {
    if (id == kUnsettledID && i != index && nodes_[i].birth == n.birth)
      id = nodes_[i].nodeID;
  });
  // Of two entries that claim one ID (a file whose exchanged partner was
  // deleted and whose inode number a new file got), the first settled keeps
  // it; the other gets an ID of this process's own.
  if (id == kUnsettledID)
    id = recorded < kFirstRealID                    ? assign(v, n.ino)
         : !heldByOther(n.volume, recorded, index) ? recorded
                                                   : assign(v, 0);
  n.nodeID = id;
  shows(index);
}

void NodeIDs::shows(uint32_t index) {
  const Node &n = nodes_[index];
  if (n.nodeID != kUnsettledID && n.nodeID != n.ino)
    synthetic_.emplace(key(n.volume, n.nodeID), index); // kept when a link has it
}

void NodeIDs::traded(uint32_t a, uint32_t b) {
  // The map follows the inodes its IDs were made for.
  for (uint32_t i : {a, b})
    if (nodes_[i].nodeID != nodes_[i].ino)
      synthetic_[key(nodes_[i].volume, nodes_[i].nodeID)] = i;
}

void NodeIDs::released(uint32_t index) {
  const Node &n = nodes_[index];
  auto it = synthetic_.find(key(n.volume, n.nodeID));
  if (it == synthetic_.end() || it->second != index)
    return;
  // Another name of a hard-linked file may still show the ID.
  uint32_t heir = kNoNode;
  inodes_.each(n.volume, n.ino, [&](uint32_t i) {
    if (nodes_[i].nodeID == n.nodeID)
      heir = i;
  });
  if (heir != kNoNode)
    it->second = heir;
  else
    synthetic_.erase(it);
}

} // namespace quillmate::fm
