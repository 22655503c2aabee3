// Catalog iterators over one folder's items.
//
// Opening reads the folder's names once and sorts them by their bytes, so an
// iteration that deletes (or renames) what it has returned neither skips nor
// repeats an item; an item removed since is left out when its turn comes.
// The container-changed flag reports objects created in, renamed in or moved
// into or out of the folder through this layer since the iterator was opened
// (deleting does not count: that is what a deleting walk does).  Changes
// made outside the layer are not seen.
//
// While an iterator is open its descriptor serves the node table as the
// folder's, so calls on its items open nothing.  The table holds it and may
// close it while the iterator is idle, when many are open: the iterator's
// position is an index into the names it read, so the folder reopened
// serves as well (see NodeTable::adoptIteratorFolder).
// A deleting iterator also tells the table which plain file it delivered
// last, which FSDeleteObject may then unlink without looking again
// (DeliveryHint.h), and
// remembers the volume roots (mount points) it delivered: a deletion that
// meets one stops there (see openIterator).
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/RenameRecord.h"
#include "platform/filemanager/Sidecar.h"
#include "platform/filemanager/Syscalls.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <cstring>
#include <memory>
#include <vector>

namespace quillmate::fm {

using namespace detail;

namespace {

/// The iterator's hold on its folder's descriptor, which the node table
/// keeps: get() is the descriptor during a call, once the table made it
/// current.
struct FolderHold {
  IteratorFolders::Ticket ticket = IteratorFolders::kNoTicket;
  int current = -1;
  int get() const { return current; }
};

struct Iterator {
  uint32_t container = kNoNode;
  uint32_t generation = 0;
  uint32_t changesAtOpen = 0;
  bool deleting = false;
  FolderHold fd;
  std::vector<uint32_t> mountsDelivered; // volume roots met as items while deleting
  std::string blob;              // the names, NUL-separated
  std::vector<uint32_t> order;   // offsets into blob, in byte order of names
  // Parallel to `order`, whether each item has a `._` file beside it; empty
  // when the folder holds none (the usual case).
  std::vector<bool> hasSidecar;
  size_t next = 0;

  const char *name(size_t i) const { return blob.data() + order[i]; }
  SidecarHint sidecarOf(size_t i) const {
    return !hasSidecar.empty() && hasSidecar[i] ? SidecarHint::Present : SidecarHint::Absent;
  }
};

struct Slot {
  std::unique_ptr<Iterator> it;
  uint32_t sequence = 0;
};

std::vector<Slot> &slots() {
  static auto *s = new std::vector<Slot>; // never destroyed, like the node table
  return *s;
}

FSIterator handleFor(size_t slot) {
  uintptr_t v = (static_cast<uintptr_t>(slots()[slot].sequence) << 32) | (slot + 1);
  return reinterpret_cast<FSIterator>(v);
}

Iterator *find(FSIterator handle, size_t *slotOut = nullptr) {
  uintptr_t v = reinterpret_cast<uintptr_t>(handle);
  size_t slot = (v & 0xFFFFFFFFu);
  if (slot == 0 || slot > slots().size())
    return nullptr;
  Slot &s = slots()[slot - 1];
  if (!s.it || s.sequence != static_cast<uint32_t>(v >> 32))
    return nullptr;
  if (slotOut)
    *slotOut = slot - 1;
  return s.it.get();
}

/// True when an open deleting iterator delivered the volume root `index` as
/// one of its items: the root is a mount point inside a tree being deleted.
bool mountMetByDeletion(uint32_t index) {
  for (const Slot &s : slots())
    if (s.it && s.it->deleting &&
        std::find(s.it->mountsDelivered.begin(), s.it->mountsDelivered.end(), index) !=
            s.it->mountsDelivered.end())
      return true;
  return false;
}

/// Hides the `._` files of the listing whose object is listed too, and notes
/// which items have one.  `candidates` are the offsets of the reserved names
/// the listing holds, with their directory entry types.
OSErr hideSidecars(Iterator &it, const std::vector<std::pair<uint32_t, unsigned char>> &candidates) {
  const char *base = it.blob.data();
  auto position = [&](const char *name) -> size_t {
    auto at = std::lower_bound(it.order.begin(), it.order.end(), name,
                               [base](uint32_t x, const char *n) { return std::strcmp(base + x, n) < 0; });
    return at != it.order.end() && !std::strcmp(base + *at, name) ? size_t(at - it.order.begin())
                                                                  : it.order.size();
  };
  std::vector<bool> hidden(it.order.size());
  it.hasSidecar.assign(it.order.size(), false);
  bool any = false;
  for (const auto &[offset, type] : candidates) {
    const char *name = base + offset;
    const size_t object = position(name + sidecar::kPrefix.size());
    if (object == it.order.size())
      continue; // an orphan: an ordinary file
    struct statx stx; // where the file system does not say what it is: one look
    if (type == DT_UNKNOWN ? sys::statxAt(it.fd.get(), name, STATX_TYPE, &stx) != 0 ||
                                 !S_ISREG(stx.stx_mode)
                           : type != DT_REG)
      continue;
    hidden[position(name)] = true;
    it.hasSidecar[object] = true;
    any = true;
  }
  if (!any) {
    it.hasSidecar.clear();
    return noErr;
  }
  size_t kept = 0;
  for (size_t i = 0; i < it.order.size(); ++i)
    if (!hidden[i]) {
      it.order[kept] = it.order[i];
      it.hasSidecar[kept++] = it.hasSidecar[i];
    }
  it.order.resize(kept);
  it.hasSidecar.resize(kept);
  return noErr;
}

/// Reads the folder's names, sorted by their bytes, without the `._` files
/// hidden beside their objects: what they are is learnt from the listing
/// alone, so an item without one costs nothing more.
OSErr readNames(Iterator &it) {
  alignas(8) char buffer[32768];
  std::vector<std::pair<uint32_t, unsigned char>> candidates; // reserved names, usually none
  for (;;) {
    ssize_t n = sys::getDents(it.fd.get(), buffer, sizeof buffer);
    if (n < 0)
      return sys::lastStatus(sys::Context::Iterator);
    if (n == 0)
      break;
    for (ssize_t at = 0; at < n;) {
      auto *d = reinterpret_cast<const struct dirent64 *>(buffer + at);
      at += d->d_reclen;
      if (!std::strcmp(d->d_name, ".") || !std::strcmp(d->d_name, ".."))
        continue;
      const uint32_t offset = static_cast<uint32_t>(it.blob.size());
      if (sidecar::isReserved(d->d_name))
        candidates.emplace_back(offset, d->d_type);
      it.order.push_back(offset);
      it.blob.append(d->d_name);
      it.blob.push_back('\0');
    }
  }
  const char *base = it.blob.data();
  std::sort(it.order.begin(), it.order.end(),
            [base](uint32_t x, uint32_t y) { return std::strcmp(base + x, base + y) < 0; });
  return candidates.empty() ? OSErr(noErr) : hideSidecars(it, candidates);
}

} // namespace

OSErr PosixFileManager::openIterator(const FSRef *container, FSIteratorFlags flags,
                                     FSIterator *iterator) {
  if (!iterator)
    return paramErr;
  if (flags & ~static_cast<FSIteratorFlags>(kFSIterateSubtree | kFSIterateDelete))
    return errFSBadIteratorFlags;
  if (flags & kFSIterateSubtree)
    return errFSIteratorNotSupported;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = table.decode(container, index))
    return err;
  const Node &node = table.node(index);
  // A deletion empties a volume's root when asked to directly (a removable
  // disk), but never crosses into another mount below the tree it deletes:
  // a root that an open deleting iterator delivered as an item is such a
  // mount point, and the deletion stops there.
  if ((flags & kFSIterateDelete) && node.parent == kNoNode && mountMetByDeletion(index))
    return fBsyErr;
  int fd;
  if (OSErr openErr = table.openDirectory(index, O_RDONLY, fd)) {
    // Answer as a look before the open would have: a stale reference, then
    // an object that is no folder, then what the open met.
    Location where;
    struct statx stx;
    if (OSErr err = table.locate(index, where, &stx))
      return err;
    return S_ISDIR(stx.stx_mode) ? openErr : OSErr(errFSNotAFolder);
  }
  sys::Fd folder(fd);
  auto it = std::make_unique<Iterator>();
  it->fd.current = fd;
  it->container = index;
  it->generation = node.generation;
  it->changesAtOpen = node.changes;
  it->deleting = flags & kFSIterateDelete;
  if (OSErr err = readNames(*it))
    return err;
  it->fd.ticket = table.adoptIteratorFolder(index, folder.release());
  std::vector<Slot> &all = slots();
  size_t slot = 0;
  while (slot < all.size() && all[slot].it)
    ++slot;
  if (slot == all.size())
    all.emplace_back();
  all[slot].it = std::move(it);
  ++all[slot].sequence;
  *iterator = handleFor(slot);
  return noErr;
}

OSErr PosixFileManager::closeIterator(FSIterator iterator) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  size_t slot;
  if (!find(iterator, &slot))
    return errFSIteratorNotFound;
  table.releaseIteratorFolder(slots()[slot].it->fd.ticket);
  slots()[slot].it.reset();
  return noErr;
}

namespace {

/// Where a bulk read puts what it finds: the fields of `which` (taken with
/// statx mask `mask`) and the references, FSSpecs and names, each where
/// asked for; the item delivered as the call's `n`-th goes at index `n`.
struct BulkOutputs {
  FSCatalogInfoBitmap which;
  unsigned mask;
  FSCatalogInfo *infos;
  FSRef *refs;
  FSSpec *specs;
  HFSUniStr255 *names;
};

/// What a deleting iterator remembers of an item it delivers: a volume root
/// (a mount point inside the tree being deleted), else an unlocked plain file
/// that FSDeleteObject may then unlink without looking again, with whether a
/// `._` file goes with it.
void noteForDeletion(Iterator &it, uint32_t index, const Location &where,
                     const struct statx &stx, SidecarHint sidecar) {
  NodeTable &table = NodeTable::shared();
  if (table.node(index).parent == kNoNode) {
    if (std::find(it.mountsDelivered.begin(), it.mountsDelivered.end(), index) ==
        it.mountsDelivered.end())
      it.mountsDelivered.push_back(index);
  } else if (!S_ISDIR(stx.stx_mode)) {
    bool locked = true;
    if (isLocked(where, stx, locked) == noErr && !locked)
      table.delivered(index, it.fd.get(), sidecar == SidecarHint::Present);
  }
}

/// Delivers the iterator's item `i` as the call's `n`-th: its entry and
/// what `out` asks for.  `gone` when it was removed since the iterator was
/// opened, is the second name of a `._` file that a killed rename left
/// (removed now), or went back to its old folder from a temporary name that
/// a killed rename left (RenameRecord.h): nothing is delivered then.  An
/// object that went back to its old name in this folder is delivered under
/// that name.
OSErr deliverItem(Iterator &it, size_t i, const BulkOutputs &out, ItemCount n, bool &gone) {
  NodeTable &table = NodeTable::shared();
  const char *name = it.name(i);
  struct statx stx;
  if (sys::statxAt(it.fd.get(), name, out.mask, &stx) < 0) {
    gone = errno == ENOENT;
    return gone ? OSErr(noErr) : sys::lastStatus(sys::Context::Iterator);
  }
  if (stx.stx_nlink > 1 && sidecar::removeLeftover(it.fd.get(), name, stx)) {
    gone = true;
    return noErr;
  }
  SidecarHint sidecar = it.sidecarOf(i);
  std::string settledName;
  if (looksTemporary(name)) {
    const Volume &volume = *table.volume(table.node(it.container).volume);
    switch (settleRename(it.fd.get(), name, stx, volume, settledName)) {
    case Settled::Stayed:
      break;
    case Settled::Left:
      gone = true;
      return noErr;
    case Settled::Renamed:
      name = settledName.c_str();
      sidecar = SidecarHint::Unknown;
      if (sys::statxAt(it.fd.get(), name, out.mask, &stx) < 0) {
        gone = errno == ENOENT;
        return gone ? OSErr(noErr) : sys::lastStatus(sys::Context::Iterator);
      }
    }
  }
  uint32_t index;
  if (OSErr err = table.intern(it.container, name, stx, index))
    return err;
  Location where{it.fd.get(), name};
  if (table.node(index).parent == kNoNode) {
    // Another volume mounted here: its root describes the item.
    where = Location{table.volume(table.node(index).volume)->rootFd, "."};
    sidecar = SidecarHint::Unknown;
    if (sys::statxAt(where.dirfd, ".", out.mask, &stx) < 0)
      return sys::lastStatus(sys::Context::Iterator);
  }
  if (out.which)
    if (OSErr err = fillCatalogInfo(index, where, stx, out.which, out.infos[n], sidecar))
      return err;
  if (it.deleting)
    noteForDeletion(it, index, where, stx, sidecar);
  if (out.refs)
    table.encode(index, &out.refs[n]);
  fillOutputs(index, out.names ? &out.names[n] : nullptr, out.specs ? &out.specs[n] : nullptr,
              nullptr);
  return noErr;
}

} // namespace

OSErr PosixFileManager::getCatalogInfoBulk(FSIterator iterator, ItemCount maximumObjects,
                                           ItemCount *actualObjects, Boolean *containerChanged,
                                           FSCatalogInfoBitmap whichInfo, FSCatalogInfo *infos,
                                           FSRef *refs, FSSpec *specs, HFSUniStr255 *names) {
  if (!actualObjects)
    return paramErr;
  *actualObjects = 0;
  if (maximumObjects == 0)
    return errFSBadItemCount;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  Iterator *it = find(iterator);
  if (!it)
    return errFSIteratorNotFound;
  Node &container = table.node(it->container);
  if (!container.live || container.generation != it->generation)
    return fnfErr;
  if (OSErr err = table.useIteratorFolder(it->fd.ticket, it->fd.current))
    return err;
  if (containerChanged)
    *containerChanged = container.changes != it->changesAtOpen;
  if (!infos)
    whichInfo = 0;
  const BulkOutputs out{whichInfo, statxMaskFor(whichInfo), infos, refs, specs, names};
  ItemCount done = 0;
  while (done < maximumObjects && it->next < it->order.size()) {
    bool gone = false;
    // Items already delivered stay counted on a failure.
    if (OSErr err = deliverItem(*it, it->next++, out, done, gone)) {
      *actualObjects = done;
      return err;
    }
    if (!gone)
      ++done;
  }
  *actualObjects = done;
  return done < maximumObjects ? OSErr(errFSNoMoreItems) : OSErr(noErr);
}

} // namespace quillmate::fm
