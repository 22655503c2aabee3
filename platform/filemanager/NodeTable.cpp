#include "platform/filemanager/NodeTable.h"

#include "platform/filemanager/MountInfo.h"
#include "platform/filemanager/Syscalls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/random.h>
#include <unistd.h>

namespace quillmate::fm {

const unsigned kIdentityMask =
    STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_BTIME | STATX_MNT_ID;

int64_t birthOf(const struct statx &stx) {
  if (!(stx.stx_mask & STATX_BTIME))
    return 0;
  return static_cast<int64_t>(stx.stx_btime.tv_sec) * 1000000000 + stx.stx_btime.tv_nsec;
}

namespace {

constexpr uint32_t kRefMagic = 0x52466d51; // "QmFR"
constexpr size_t kFolderCacheSize = 64;
constexpr uint64_t kFirstRealID = 3; // 1 and 2 are the root's parent and the root

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

// Only this file uses them; they stay out of the header.
template <class F>
void NodeTable::eachOfInode(FSVolumeRefNum volumeRef, uint64_t ino, F &&f) const {
  size_t mask = slots_.size() - 1;
  for (size_t i = slotFor(volumeRef, ino); slots_[i] != 0; i = (i + 1) & mask) {
    const Node &n = nodes_[slots_[i] - 1];
    if (n.ino == ino && n.volume == volumeRef)
      f(slots_[i] - 1);
  }
}

template <class F>
void NodeTable::eachWithID(FSVolumeRefNum volumeRef, uint32_t id, F &&f) const {
  uint64_t ino = id;
  auto it = synthetic_.find(syntheticKey(volumeRef, id));
  if (it != synthetic_.end())
    ino = nodes_[it->second].ino;
  eachOfInode(volumeRef, ino, [&](uint32_t i) {
    if (nodes_[i].nodeID == id)
      f(i);
  });
}

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
  // No node ID: a file's may not be settled yet, and an FSRef must not
  // change when it is.
  std::memcpy(ref->hidden + 16, &n.volume, sizeof n.volume);
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
                        uint32_t &index, int dirfd, const char *handleOf) {
  uint32_t handle = 0;
  if (dirfd >= 0 && sys::handleDigest(dirfd, handleOf ? handleOf : name.c_str(), handle) < 0)
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
  // The walk's case: the entry met before under this very name.  Otherwise
  // an entry of the object met under another name (for hard-linked names,
  // the node ID they share), kNoNode when none is left.
  uint32_t otherName = kNoNode;
  if (uint32_t found = findByInode(v->refNum, stx.stx_ino); found != kNoNode) {
    Node &n = nodes_[found];
    if (n.parent == parent && n.name == name && sameIdentity(n, stx) &&
        (!handle || !n.handle || handle == n.handle)) {
      if (handle)
        n.handle = handle;
      index = found;
      return noErr;
    }
    if (OSErr err = matchEntries(parent, name, stx, handle, index, otherName))
      return err;
    if (index != kNoNode)
      return noErr;
  }
  FSVolumeRefNum volumeRef = v->refNum;
  // A regular file's ID may be recorded in its metadata: read only when
  // needed (settle), so that a walk costs no more than its statx.  Other
  // objects with several names (links, devices) share theirs at once.
  uint32_t id = S_ISREG(stx.stx_mode)     ? kUnsettledID
                : otherName != kNoNode ? nodes_[otherName].nodeID
                                       : assignID(*v, stx.stx_ino);
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
  if (id != kUnsettledID && id != stx.stx_ino)
    synthetic_.emplace(syntheticKey(volumeRef, id), index); // kept when a link has it
  return noErr;
}

OSErr NodeTable::matchEntries(uint32_t parent, const std::string &name, const struct statx &stx,
                              uint32_t handle, uint32_t &index, uint32_t &otherName) {
  // Every entry of this inode: an entry of an object replaced since is
  // retired; one under this name is the object; one under another name is
  // another name of a hard-linked file (a separate object), or, for an
  // object with one name, where it was before a rename or move made outside
  // the layer, so that entry follows it.
  index = otherName = kNoNode;
  std::vector<uint32_t> entries;
  eachOfInode(nodes_[parent].volume, stx.stx_ino, [&](uint32_t i) { entries.push_back(i); });
  for (uint32_t i : entries)
    if (nodes_[i].parent == kNoNode)
      return ioErr; // a volume root cannot appear inside a folder of its own volume
  const bool oneName = stx.stx_nlink <= 1 || S_ISDIR(stx.stx_mode);
  for (uint32_t i : entries) {
    Node &n = nodes_[i];
    if (!sameIdentity(n, stx) || (handle && n.handle && handle != n.handle))
      retire(i);
    else if (n.parent == parent && n.name == name)
      index = i;
    else if (otherName == kNoNode)
      otherName = i;
  }
  if (index == kNoNode && oneName && otherName != kNoNode) {
    moved(otherName, parent, name);
    index = otherName;
  }
  if (index == kNoNode)
    return noErr;
  // An object with one name keeps one entry: other names hold it no more.
  if (oneName)
    for (uint32_t i : entries)
      if (i != index && nodes_[i].live)
        retire(i);
  if (handle)
    nodes_[index].handle = handle;
  return noErr;
}

bool NodeTable::heldByOther(FSVolumeRefNum volumeRef, uint32_t id, uint32_t index) const {
  auto it = synthetic_.find(syntheticKey(volumeRef, id));
  if (it != synthetic_.end() && it->second != index)
    return true;
  uint32_t byInode = findByInode(volumeRef, id);
  return byInode != kNoNode && byInode != index && nodes_[byInode].nodeID == id;
}

void NodeTable::settle(uint32_t index, uint32_t recorded) {
  Node &n = nodes_[index];
  Volume *v = volume(n.volume);
  if (n.nodeID != kUnsettledID || !v)
    return;
  // Another name of a hard-linked file shows the ID the file has already.
  uint32_t id = kUnsettledID;
  eachOfInode(n.volume, n.ino, [&](uint32_t i) {
    if (id == kUnsettledID && i != index && nodes_[i].birth == n.birth)
      id = nodes_[i].nodeID;
  });
  // Of two entries that claim one ID (a file whose exchanged partner was
  // deleted and whose inode number a new file got), the first settled keeps
  // it; the other gets an ID of this process's own.
  if (id == kUnsettledID)
    id = recorded < kFirstRealID                      ? assignID(*v, n.ino)
         : !heldByOther(n.volume, recorded, index) ? recorded
                                                   : assignID(*v, 0);
  n.nodeID = id;
  if (id != n.ino)
    synthetic_.emplace(syntheticKey(n.volume, id), index); // kept when a link has it
}

uint32_t NodeTable::findByID(FSVolumeRefNum volumeRef, uint32_t dirID) const {
  for (const Volume &v : volumes_) {
    if (v.refNum != volumeRef)
      continue;
    if (dirID == fsRtDirID)
      return v.rootNode;
    uint32_t index = kNoNode;
    eachWithID(volumeRef, dirID, [&](uint32_t i) {
      if (index == kNoNode)
        index = i;
    });
    return index;
  }
  return kNoNode;
}

std::vector<uint32_t> NodeTable::findAllByID(FSVolumeRefNum volumeRef, uint32_t id) const {
  std::vector<uint32_t> out;
  eachWithID(volumeRef, id, [&](uint32_t i) { out.push_back(i); });
  return out;
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
  if (it != synthetic_.end() && it->second == index) {
    // Another name of a hard-linked file may still show the ID.
    uint32_t heir = kNoNode;
    eachOfInode(n.volume, n.ino, [&](uint32_t i) {
      if (nodes_[i].nodeID == n.nodeID)
        heir = i;
    });
    if (heir != kNoNode)
      it->second = heir;
    else
      synthetic_.erase(it);
  }
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
  Location where;
  struct statx stx;
  return openChecked(index, flags | O_DIRECTORY, where, fd, stx, 0);
}

OSErr NodeTable::openObject(uint32_t index, Location &where, int &fd, struct statx &stx,
                            unsigned mask) {
  // A folder opened for reading gives its attributes in one call; one that
  // may not be read is held O_PATH all the same.
  if (nodes_[index].isDirectory) {
    OSErr err = openChecked(index, O_RDONLY | O_DIRECTORY, where, fd, stx, mask);
    if (err != afpAccessDenied)
      return err;
  }
  return openChecked(index, O_PATH, where, fd, stx, mask);
}

OSErr NodeTable::placeOf(const Node &n, Location &where) {
  if (n.parent == kNoNode) {
    Volume *v = volume(n.volume);
    if (!v)
      return nsvErr;
    where = Location{v->rootFd, "."};
    return noErr;
  }
  int parentFd;
  if (OSErr err = openFolder(n.parent, parentFd))
    return err;
  where = Location{parentFd, n.name.c_str()};
  return noErr;
}

OSErr NodeTable::openChecked(uint32_t index, int flags, Location &where, int &fd,
                             struct statx &stx, unsigned mask) {
  const Node &n = nodes_[index];
  if (!n.live)
    return fnfErr;
  if (OSErr err = placeOf(n, where))
    return err == dirNFErr ? OSErr(fnfErr) : err;
  // Opened before it is checked: O_NOFOLLOW with O_DIRECTORY or O_PATH opens
  // nothing that blocks or has an effect to undo.
  sys::Fd own(sys::openAt(where.dirfd, where.name, flags | O_NOFOLLOW));
  if (!own.valid()) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
      return fnfErr;
    return sys::lastStatus();
  }
  if (sys::statxAt(own.get(), "", kIdentityMask | mask, &stx) < 0)
    return sys::lastStatus();
  if (!isObject(index, own.get(), "", stx))
    return fnfErr;
  fd = own.release();
  return noErr;
}

bool NodeTable::isObject(uint32_t index, int dirfd, const char *name,
                         const struct statx &stx) const {
  const Node &n = nodes_[index];
  return sameIdentity(n, stx) && sameHandle(n, dirfd, name);
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
  if (OSErr err = placeOf(n, where))
    return err;
  if (sys::statxAt(where.dirfd, where.name, kIdentityMask | mask, out) < 0)
    return errno == ENOENT ? OSErr(fnfErr) : sys::lastStatus();
  return isObject(index, where.dirfd, where.name, *out) ? OSErr(noErr) : OSErr(fnfErr);
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
