#include "platform/filemanager/NodeTable.h"

#include "platform/filemanager/Syscalls.h"

#include <algorithm>
#include <cerrno>

namespace quillmate::fm {

const unsigned kIdentityMask =
    STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_BTIME | STATX_MNT_ID;

int64_t birthOf(const struct statx &stx) {
  if (!(stx.stx_mask & STATX_BTIME))
    return 0;
  return static_cast<int64_t>(stx.stx_btime.tv_sec) * 1000000000 + stx.stx_btime.tv_nsec;
}

namespace {

bool sameIdentity(const Node &n, const struct statx &stx) {
  return n.ino == stx.stx_ino && n.birth == birthOf(stx);
}

bool sameHandle(const Node &n, int dirfd, const char *name) {
  uint32_t digest;
  return !n.handle || sys::handleDigest(dirfd, name, digest) < 0 || digest == n.handle;
}

} // namespace

NodeTable &NodeTable::shared() {
  static NodeTable *table = new NodeTable; // never destroyed: references outlive statics
  return *table;
}

// --- references --------------------------------------------------------------

OSErr NodeTable::decode(const FSRef *ref, uint32_t &index) const {
  uint32_t generation;
  if (OSErr err = refs_.decode(ref, index, generation))
    return err;
  if (index >= nodes_.size())
    return errFSBadFSRef;
  const Node &n = nodes_[index];
  if (!n.live || n.generation != generation)
    return fnfErr;
  if (!renames_.empty())
    renames_.met(index);
  return noErr;
}

void NodeTable::encode(uint32_t index, FSRef *ref) const {
  const Node &n = nodes_[index];
  refs_.encode(index, n.generation, n.volume, ref);
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
  return volumes_.find(refNum);
}

Volume *NodeTable::volumeForMount(uint64_t mountID) {
  if (Volume *known = volumes_.findMount(mountID))
    return known;
  Volume v;
  struct statx stx;
  std::string name;
  if (volumes_.open(mountID, v, stx, name) != noErr)
    return nullptr;
  uint32_t root = allocate();
  Node &n = nodes_[root];
  n.name = std::move(name);
  n.ino = stx.stx_ino;
  n.birth = birthOf(stx);
  n.parent = kNoNode;
  n.nodeID = fsRtDirID;
  n.volume = v.refNum;
  n.isDirectory = true;
  v.rootNode = root;
  Volume &added = volumes_.add(std::move(v));
  inodes_.insert(root);
  return &added;
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

OSErr NodeTable::intern(uint32_t parent, const std::string &name, const struct statx &stx,
                        uint32_t &index, int dirfd, const char *handleOf) {
  uint32_t handle = 0;
  if (dirfd >= 0 && sys::handleDigest(dirfd, handleOf ? handleOf : name.c_str(), handle) < 0)
    handle = 0;
  Volume *v = volume(nodes_[parent].volume);
  if (!v)
    return nsvErr;
  // A folder on another mount is that volume's root.  A file mounted over a
  // name (a bind mount of one file) is no volume: it stays an entry of this
  // folder, which the kernel refuses to unlink or rename (fBsyErr), as it
  // refuses a folder's mount point.
  if ((stx.stx_mask & STATX_MNT_ID) && stx.stx_mnt_id != v->mountID && S_ISDIR(stx.stx_mode)) {
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
                                       : ids_.assign(*v, stx.stx_ino);
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
  inodes_.insert(index);
  ids_.shows(index);
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
  inodes_.each(nodes_[parent].volume, stx.stx_ino, [&](uint32_t i) { entries.push_back(i); });
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

void NodeTable::settle(uint32_t index, uint32_t recorded) {
  Node &n = nodes_[index];
  Volume *v = volume(n.volume);
  if (n.nodeID != kUnsettledID || !v)
    return;
  ids_.settle(index, *v, recorded);
}

uint32_t NodeTable::findByID(FSVolumeRefNum volumeRef, uint32_t dirID) const {
  for (const Volume &v : volumes_) {
    if (v.refNum != volumeRef)
      continue;
    if (dirID == fsRtDirID)
      return v.rootNode;
    uint32_t index = kNoNode;
    ids_.each(volumeRef, dirID, [&](uint32_t i) {
      if (index == kNoNode)
        index = i;
    });
    return index;
  }
  return kNoNode;
}

std::vector<uint32_t> NodeTable::findAllByID(FSVolumeRefNum volumeRef, uint32_t id) const {
  std::vector<uint32_t> out;
  ids_.each(volumeRef, id, [&](uint32_t i) { out.push_back(i); });
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
  inodes_.erase(a);
  inodes_.erase(b);
  Node &x = nodes_[a], &y = nodes_[b];
  std::swap(x.ino, y.ino);
  std::swap(x.birth, y.birth);
  std::swap(x.isDirectory, y.isDirectory);
  std::swap(x.handle, y.handle);
  // Node IDs stay with the places (the names), as the platform's exchange
  // keeps them.
  inodes_.insert(a);
  inodes_.insert(b);
  ids_.traded(a, b);
  forgetFolderFd(a);
  forgetFolderFd(b);
}

void NodeTable::retire(uint32_t index) {
  Node &n = nodes_[index];
  if (!n.live)
    return;
  inodes_.erase(index);
  ids_.released(index);
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

bool NodeTable::deliveredJustNow(uint32_t index, Location &where, bool &sidecar) {
  // The entry kept the name it was delivered under (DeliveryHint.h).
  const Node &n = nodes_[index];
  // The iterator's descriptor is still open (a descriptor given back since
  // would make the number another's).
  const int dirfd = delivery_.folderIfJustDelivered(index, n.generation, sidecar);
  if (dirfd < 0 || !n.live || n.parent == kNoNode ||
      iteratorFolders_.find(n.parent, nodes_[n.parent].generation) != dirfd)
    return false;
  where = Location{dirfd, n.name.c_str()};
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
  sys::Fd own(openFreeing(where.dirfd, where.name, flags | O_NOFOLLOW));
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
  fd = iteratorFolders_.find(index, n.generation);
  if (fd < 0)
    fd = folderCache_.find(index, n.generation);
  if (fd >= 0)
    return noErr;
  if (OSErr err = openDirectory(index, O_PATH, fd))
    return err;
  folderCache_.keep(index, n.generation, fd);
  return noErr;
}

int NodeTable::openFreeing(int dirfd, const char *name, int flags) {
  int fd = sys::openAt(dirfd, name, flags);
  const int err = errno;
  if (fd >= 0 || (err != EMFILE && err != ENFILE))
    return fd;
  // The limit may have been lowered since the budget was set.
  iteratorFolders_.setBudget(
      std::min(iteratorFolders_.budget(), IteratorFolders::budgetForLimit()));
  if (iteratorFolders_.suspendIdle() + folderCache_.releaseIdle() == 0) {
    errno = err;
    return -1;
  }
  return sys::openAt(dirfd, name, flags);
}

int NodeTable::openAbove(uint32_t index, int childFd) {
  sys::Fd fd(openFreeing(childFd, "..", O_RDONLY | O_DIRECTORY));
  struct statx stx;
  if (!fd.valid() || sys::statxAt(fd.get(), "", kIdentityMask, &stx) < 0)
    return -1;
  const Volume *v = volume(nodes_[index].volume);
  if (!v || stx.stx_mnt_id != v->mountID || !isObject(index, fd.get(), "", stx))
    return -1;
  return fd.release();
}

OSErr NodeTable::useIteratorFolder(IteratorFolders::Ticket ticket, int &fd) {
  fd = iteratorFolders_.use(ticket);
  if (fd >= 0)
    return noErr;
  if (!iteratorFolders_.lent(ticket))
    return fnfErr;
  const uint32_t index = iteratorFolders_.folder(ticket);
  const IteratorFolders::Ticket child = iteratorFolders_.findOpen(
      [&](uint32_t folder) { return nodes_[folder].parent == index; });
  if (child != IteratorFolders::kNoTicket)
    fd = openAbove(index, iteratorFolders_.use(child));
  if (fd < 0)
    if (OSErr err = openDirectory(index, O_RDONLY, fd))
      return err;
  iteratorFolders_.resume(ticket, fd);
  return noErr;
}

void NodeTable::releaseIteratorFolder(IteratorFolders::Ticket ticket) {
  if (iteratorFolders_.suspended() != 0 && iteratorFolders_.lent(ticket)) {
    const uint32_t parent = nodes_[iteratorFolders_.folder(ticket)].parent;
    const IteratorFolders::Ticket above =
        parent == kNoNode ? IteratorFolders::kNoTicket
                          : iteratorFolders_.suspendedOf(parent, nodes_[parent].generation);
    const int childFd = iteratorFolders_.use(ticket);
    if (above != IteratorFolders::kNoTicket && childFd >= 0)
      if (int fd = openAbove(parent, childFd); fd >= 0)
        iteratorFolders_.resume(above, fd);
  }
  iteratorFolders_.release(ticket);
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

size_t NodeTable::bytesUsed() const {
  size_t bytes = nodes_.size() * sizeof(Node) + inodes_.bytesUsed() +
                 free_.capacity() * sizeof(uint32_t) + ids_.bytesUsed();
  for (const Node &n : nodes_)
    if (n.name.capacity() > 15)
      bytes += n.name.capacity() + 1;
  return bytes;
}

} // namespace quillmate::fm
