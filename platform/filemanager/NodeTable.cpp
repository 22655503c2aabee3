#include "platform/filemanager/NodeTable.h"

#include "platform/filemanager/MountInfo.h"
#include "platform/filemanager/Syscalls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/random.h>
#include <unistd.h>

namespace quillmate::fm {

const unsigned kIdentityMask = STATX_TYPE | STATX_MODE | STATX_INO | STATX_BTIME | STATX_MNT_ID;

namespace {

constexpr uint32_t kRefMagic = 0x52466d51; // "QmFR"
constexpr size_t kFolderCacheSize = 64;
constexpr uint64_t kFirstRealID = 3; // 1 and 2 are the root's parent and the root

int64_t birthOf(const struct statx &stx) {
  if (!(stx.stx_mask & STATX_BTIME))
    return 0;
  return static_cast<int64_t>(stx.stx_btime.tv_sec) * 1000000000 + stx.stx_btime.tv_nsec;
}

bool sameIdentity(const Node &n, const struct statx &stx) {
  return n.ino == stx.stx_ino && n.birth == birthOf(stx);
}

bool sameHandle(const Node &n, int dirfd, const char *name) {
  uint32_t digest;
  return !n.handle || sys::handleDigest(dirfd, name, digest) < 0 || digest == n.handle;
}

uint64_t syntheticKey(FSVolumeRefNum volume, uint32_t id) {
  return (static_cast<uint64_t>(static_cast<uint16_t>(volume)) << 32) | id;
}

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

void put32(FSRef *ref, size_t at, uint32_t v) { std::memcpy(ref->hidden + at, &v, 4); }
uint32_t get32(const FSRef *ref, size_t at) {
  uint32_t v;
  std::memcpy(&v, ref->hidden + at, 4);
  return v;
}

} // namespace

NodeTable &NodeTable::shared() {
  static NodeTable *table = new NodeTable; // never destroyed: references outlive statics
  return *table;
}

NodeTable::NodeTable() : slots_(1024, 0) {
  if (getrandom(&processTag_, sizeof processTag_, 0) != sizeof processTag_)
    processTag_ = static_cast<uint32_t>(getpid()) * 2654435761u;
  folderCache_.resize(kFolderCacheSize);
}

// --- references --------------------------------------------------------------

OSErr NodeTable::decode(const FSRef *ref, uint32_t &index) const {
  if (!ref)
    return paramErr;
  if (get32(ref, 0) != kRefMagic || get32(ref, 4) != processTag_)
    return errFSBadFSRef;
  index = get32(ref, 8);
  if (index >= nodes_.size())
    return errFSBadFSRef;
  const Node &n = nodes_[index];
  if (!n.live || n.generation != get32(ref, 12))
    return fnfErr;
  return noErr;
}

void NodeTable::encode(uint32_t index, FSRef *ref) const {
  std::memset(ref, 0, sizeof *ref);
  const Node &n = nodes_[index];
  put32(ref, 0, kRefMagic);
  put32(ref, 4, processTag_);
  put32(ref, 8, index);
  put32(ref, 12, n.generation);
  std::memcpy(ref->hidden + 16, &n.volume, sizeof n.volume);
  put32(ref, 20, n.nodeID);
}

// --- volumes -----------------------------------------------------------------

Volume *NodeTable::volume(FSVolumeRefNum refNum) {
  if (refNum == 0) {
    // The default volume: the one holding the working folder.
    struct statx stx;
    if (sys::statxAt(AT_FDCWD, ".", STATX_MNT_ID, &stx) < 0)
      return nullptr;
    return volumeForMount(stx.stx_mnt_id);
  }
  size_t i = static_cast<size_t>(-1 - refNum);
  if (refNum > 0 || i >= volumes_.size())
    return nullptr;
  return &volumes_[i];
}

Volume *NodeTable::volumeForMount(uint64_t mountID) {
  for (Volume &v : volumes_)
    if (v.mountID == mountID)
      return &v;
  Volume *v = nullptr;
  return addVolume(mountID, v) == noErr ? v : nullptr;
}

OSErr NodeTable::addVolume(uint64_t mountID, Volume *&out) {
  if (volumes_.size() >= 0x7FFF)
    return tmfoErr;
  std::string point;
  if (!mountinfo::pointOf(mountID, point))
    return nsvErr;
  sys::Fd fd(sys::openAt(AT_FDCWD, point.c_str(), O_PATH | O_DIRECTORY));
  if (!fd.valid())
    return nsvErr;
  struct statx stx;
  // A mount hidden under another one on the same point cannot be reached.
  if (sys::statxAt(fd.get(), "", kIdentityMask, &stx) < 0 || stx.stx_mnt_id != mountID)
    return nsvErr;
  Volume v;
  v.mountID = mountID;
  v.mountPoint = point;
  v.refNum = static_cast<FSVolumeRefNum>(-1 - static_cast<int>(volumes_.size()));
  uint32_t root = allocate();
  Node &n = nodes_[root];
  n.name = mountinfo::volumeName(point, fd.get());
  n.ino = stx.stx_ino;
  n.birth = birthOf(stx);
  n.parent = kNoNode;
  n.nodeID = fsRtDirID;
  n.volume = v.refNum;
  n.isDirectory = true;
  v.rootNode = root;
  v.rootFd = fd.release();
  volumes_.push_back(std::move(v));
  insertInode(root);
  out = &volumes_.back();
  return noErr;
}

uint32_t NodeTable::parentID(uint32_t index) const {
  const Node &n = nodes_[index];
  return n.parent == kNoNode ? static_cast<uint32_t>(fsRtParID) : nodes_[n.parent].nodeID;
}

// --- entries -----------------------------------------------------------------

uint32_t NodeTable::allocate() {
  uint32_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    index = static_cast<uint32_t>(nodes_.size());
    nodes_.emplace_back();
  }
  nodes_[index].live = true;
  nodes_[index].changes = 0;
  ++live_;
  return index;
}

uint32_t NodeTable::assignID(Volume &v, uint64_t ino) {
  if (ino >= kFirstRealID && ino <= 0xFFFFFFFFu &&
      !synthetic_.count(syntheticKey(v.refNum, static_cast<uint32_t>(ino))))
    return static_cast<uint32_t>(ino);
  for (;;) {
    uint32_t id = v.nextSyntheticID--;
    if (id < kFirstRealID)
      v.nextSyntheticID = 0xFFFFFFFFu;
    else if (findByInode(v.refNum, id) == kNoNode && !synthetic_.count(syntheticKey(v.refNum, id)))
      return id;
  }
}

OSErr NodeTable::intern(uint32_t parent, const std::string &name, const struct statx &stx,
                        uint32_t &index, int dirfd) {
  uint32_t handle = 0;
  if (dirfd >= 0 && sys::handleDigest(dirfd, name.c_str(), handle) < 0)
    handle = 0;
  Volume *v = volume(nodes_[parent].volume);
  if (!v)
    return nsvErr;
  if ((stx.stx_mask & STATX_MNT_ID) && stx.stx_mnt_id != v->mountID) {
    Volume *other = volumeForMount(stx.stx_mnt_id);
    if (!other)
      return nsvErr;
    index = other->rootNode;
    return noErr;
  }
  uint32_t found = findByInode(v->refNum, stx.stx_ino);
  if (found != kNoNode) {
    if (sameIdentity(nodes_[found], stx) && nodes_[found].parent != kNoNode &&
        (!handle || !nodes_[found].handle || handle == nodes_[found].handle)) {
      Node &n = nodes_[found];
      if (handle)
        n.handle = handle;
      if (n.parent != parent || n.name != name)
        moved(found, parent, name);
      index = found;
      return noErr;
    }
    if (nodes_[found].parent == kNoNode)
      return ioErr; // a volume root cannot appear inside a folder of its own volume
    retire(found);
  }
  FSVolumeRefNum volumeRef = v->refNum;
  uint32_t id = assignID(*v, stx.stx_ino);
  index = allocate();
  Node &n = nodes_[index];
  n.name = name;
  n.ino = stx.stx_ino;
  n.birth = birthOf(stx);
  n.parent = parent;
  n.nodeID = id;
  n.volume = volumeRef;
  n.isDirectory = S_ISDIR(stx.stx_mode);
  n.handle = handle;
  insertInode(index);
  if (id != stx.stx_ino)
    synthetic_[syntheticKey(volumeRef, id)] = index;
  return noErr;
}

uint32_t NodeTable::findByID(FSVolumeRefNum volumeRef, uint32_t dirID) const {
  for (const Volume &v : volumes_) {
    if (v.refNum != volumeRef)
      continue;
    if (dirID == fsRtDirID)
      return v.rootNode;
    auto it = synthetic_.find(syntheticKey(volumeRef, dirID));
    if (it != synthetic_.end())
      return it->second;
    uint32_t index = findByInode(volumeRef, dirID);
    if (index != kNoNode && nodes_[index].nodeID == dirID)
      return index;
    return kNoNode;
  }
  return kNoNode;
}

OSErr NodeTable::volumeRootFor(const struct statx &stx, uint32_t &index) {
  Volume *v = volumeForMount(stx.stx_mnt_id);
  if (!v)
    return nsvErr;
  index = v->rootNode;
  return noErr;
}

void NodeTable::moved(uint32_t index, uint32_t parent, const std::string &name) {
  Node &n = nodes_[index];
  n.parent = parent;
  n.name = name;
}

void NodeTable::swapIdentity(uint32_t a, uint32_t b) {
  eraseInode(a);
  eraseInode(b);
  Node &x = nodes_[a], &y = nodes_[b];
  std::swap(x.ino, y.ino);
  std::swap(x.birth, y.birth);
  std::swap(x.isDirectory, y.isDirectory);
  std::swap(x.handle, y.handle);
  // Node IDs stay with the places (the names), as the platform's exchange
  // keeps them; the synthetic-ID index follows the inodes it was made for.
  insertInode(a);
  insertInode(b);
  for (uint32_t i : {a, b})
    if (nodes_[i].nodeID != nodes_[i].ino)
      synthetic_[syntheticKey(nodes_[i].volume, nodes_[i].nodeID)] = i;
  forgetFolderFd(a);
  forgetFolderFd(b);
}

void NodeTable::retire(uint32_t index) {
  Node &n = nodes_[index];
  if (!n.live)
    return;
  eraseInode(index);
  auto it = synthetic_.find(syntheticKey(n.volume, n.nodeID));
  if (it != synthetic_.end() && it->second == index)
    synthetic_.erase(it);
  forgetFolderFd(index);
  n.live = false;
  n.handle = 0;
  ++n.generation;
  std::string().swap(n.name);
  n.parent = kNoNode;
  free_.push_back(index);
  --live_;
}

// --- resolution --------------------------------------------------------------

void NodeTable::forgetFolderFd(uint32_t index) {
  for (CachedFolder &c : folderCache_) {
    if (c.index == index && c.fd >= 0) {
      sys::close(c.fd);
      c = CachedFolder{};
    }
  }
  std::erase_if(lent_, [index](const LentFolder &l) { return l.index == index; });
}

void NodeTable::lendFolder(uint32_t index, int fd) {
  lent_.push_back(LentFolder{index, nodes_[index].generation, fd});
}

void NodeTable::withdrawFolder(int fd) {
  std::erase_if(lent_, [fd](const LentFolder &l) { return l.fd == fd; });
}

void NodeTable::delivered(uint32_t index, int dirfd) {
  delivered_ = Delivery{index, nodes_[index].generation, dirfd, epoch_};
}

bool NodeTable::deliveredJustNow(uint32_t index, Location &where) const {
  // lock() counts every call of the layer: the next one after the delivery
  // has epoch + 1.  The iterator (and its descriptor) is still open then,
  // and the entry kept its name, since closing, renaming or moving would
  // have been a call in between.
  const Node &n = nodes_[index];
  if (delivered_.index != index || delivered_.epoch + 1 != epoch_ || !n.live ||
      n.generation != delivered_.generation)
    return false;
  where = Location{delivered_.dirfd, n.name.c_str()};
  return true;
}

OSErr NodeTable::openDirectory(uint32_t index, int flags, int &fd) {
  const Node &n = nodes_[index];
  int parentFd;
  const char *name = ".";
  if (n.parent == kNoNode) {
    Volume *v = volume(n.volume);
    if (!v)
      return nsvErr;
    parentFd = v->rootFd;
  } else {
    if (OSErr err = openFolder(n.parent, parentFd))
      return err == dirNFErr ? OSErr(fnfErr) : err;
    name = n.name.c_str();
  }
  // Opened before it is checked: O_DIRECTORY | O_NOFOLLOW opens nothing
  // but a folder, and opening one has no effect to undo.
  sys::Fd own(sys::openAt(parentFd, name, flags | O_DIRECTORY | O_NOFOLLOW));
  if (!own.valid()) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
      return fnfErr;
    return sys::lastStatus();
  }
  struct statx stx;
  if (sys::statxAt(own.get(), "", kIdentityMask, &stx) < 0)
    return sys::lastStatus();
  if (!sameIdentity(n, stx) || !sameHandle(n, own.get(), ""))
    return fnfErr;
  fd = own.release();
  return noErr;
}

OSErr NodeTable::openFolder(uint32_t index, int &fd) {
  Node &n = nodes_[index];
  if (!n.live)
    return fnfErr;
  if (n.parent == kNoNode) {
    Volume *v = volume(n.volume);
    if (!v)
      return nsvErr;
    fd = v->rootFd;
    return noErr;
  }
  for (const LentFolder &l : lent_) {
    if (l.index == index && l.generation == n.generation) {
      fd = l.fd;
      return noErr;
    }
  }
  for (CachedFolder &c : folderCache_) {
    if (c.fd >= 0 && c.index == index && c.generation == n.generation) {
      c.lastUse = ++clock_;
      c.epoch = epoch_;
      fd = c.fd;
      return noErr;
    }
  }
  int opened;
  if (OSErr err = openDirectory(index, O_PATH, opened))
    return err;
  sys::Fd own(opened);
  // Evict the least recently used descriptor that no step of the current
  // operation holds; grow when every one is held (deep paths).
  size_t victim = folderCache_.size();
  for (size_t i = 0; i < folderCache_.size(); ++i) {
    const CachedFolder &c = folderCache_[i];
    if (c.fd >= 0 && c.epoch == epoch_)
      continue;
    if (victim == folderCache_.size() || c.fd < 0 || c.lastUse < folderCache_[victim].lastUse)
      victim = i;
    if (c.fd < 0)
      break;
  }
  if (victim == folderCache_.size())
    folderCache_.emplace_back();
  CachedFolder &slot = folderCache_[victim];
  if (slot.fd >= 0)
    sys::close(slot.fd);
  slot.index = index;
  slot.generation = n.generation;
  slot.fd = own.release();
  slot.lastUse = ++clock_;
  slot.epoch = epoch_;
  fd = slot.fd;
  return noErr;
}

OSErr NodeTable::locate(uint32_t index, Location &where, struct statx *stx, unsigned mask) {
  Node &n = nodes_[index];
  if (!n.live)
    return fnfErr;
  struct statx local;
  struct statx *out = stx ? stx : &local;
  if (n.parent == kNoNode) {
    Volume *v = volume(n.volume);
    if (!v)
      return nsvErr;
    where.dirfd = v->rootFd;
    where.name = ".";
  } else {
    int parentFd;
    if (OSErr err = openFolder(n.parent, parentFd))
      return err;
    where.dirfd = parentFd;
    where.name = n.name.c_str();
  }
  if (sys::statxAt(where.dirfd, where.name, kIdentityMask | mask, out) < 0)
    return errno == ENOENT ? OSErr(fnfErr) : sys::lastStatus();
  if (!sameIdentity(n, *out) || !sameHandle(n, where.dirfd, where.name))
    return fnfErr;
  return noErr;
}

std::string NodeTable::path(uint32_t index) const {
  std::vector<const std::string *> parts;
  uint32_t i = index;
  while (nodes_[i].parent != kNoNode) {
    parts.push_back(&nodes_[i].name);
    i = nodes_[i].parent;
  }
  std::string out;
  for (const Volume &v : volumes_)
    if (v.refNum == nodes_[i].volume)
      out = v.mountPoint;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (out.empty() || out.back() != '/')
      out += '/';
    out += **it;
  }
  return out;
}

// --- inode index -------------------------------------------------------------

size_t NodeTable::slotFor(FSVolumeRefNum volumeRef, uint64_t ino) const {
  return mix(ino ^ (static_cast<uint64_t>(static_cast<uint16_t>(volumeRef)) << 48)) &
         (slots_.size() - 1);
}

uint32_t NodeTable::findByInode(FSVolumeRefNum volumeRef, uint64_t ino) const {
  size_t mask = slots_.size() - 1;
  for (size_t i = slotFor(volumeRef, ino);; i = (i + 1) & mask) {
    uint32_t s = slots_[i];
    if (s == 0)
      return kNoNode;
    const Node &n = nodes_[s - 1];
    if (n.ino == ino && n.volume == volumeRef)
      return s - 1;
  }
}

void NodeTable::insertInode(uint32_t index) {
  if ((live_ + 1) * 2 > slots_.size())
    growSlots();
  const Node &n = nodes_[index];
  size_t mask = slots_.size() - 1;
  size_t i = slotFor(n.volume, n.ino);
  while (slots_[i] != 0)
    i = (i + 1) & mask;
  slots_[i] = index + 1;
}

void NodeTable::eraseInode(uint32_t index) {
  const Node &n = nodes_[index];
  size_t mask = slots_.size() - 1;
  size_t i = slotFor(n.volume, n.ino);
  while (slots_[i] != index + 1) {
    if (slots_[i] == 0)
      return;
    i = (i + 1) & mask;
  }
  // Backward-shift deletion keeps every probe chain unbroken.
  size_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    if (slots_[j] == 0)
      break;
    const Node &m = nodes_[slots_[j] - 1];
    size_t home = slotFor(m.volume, m.ino);
    bool movable = (j > i) ? (home <= i || home > j) : (home <= i && home > j);
    if (movable) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i] = 0;
}

void NodeTable::growSlots() {
  std::vector<uint32_t> old(slots_.size() * 2, 0);
  old.swap(slots_);
  size_t mask = slots_.size() - 1;
  for (uint32_t s : old) {
    if (s == 0)
      continue;
    const Node &n = nodes_[s - 1];
    size_t i = slotFor(n.volume, n.ino);
    while (slots_[i] != 0)
      i = (i + 1) & mask;
    slots_[i] = s;
  }
}

size_t NodeTable::bytesUsed() const {
  size_t bytes = nodes_.size() * sizeof(Node) + slots_.capacity() * sizeof(uint32_t) +
                 free_.capacity() * sizeof(uint32_t) + synthetic_.size() * 32;
  for (const Node &n : nodes_)
    if (n.name.capacity() > 15)
      bytes += n.name.capacity() + 1;
  return bytes;
}

} // namespace quillmate::fm
