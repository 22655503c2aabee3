#include "platform/filemanager/RenameRecord.h"

#include "platform/filemanager/Metadata.h"
#include "platform/filemanager/NodeTable.h"
#include "platform/filemanager/PosixFileManager.h"
#include "platform/filemanager/Syscalls.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace quillmate::fm {

namespace {

// The record: these fields, little-endian, then the old name and the old
// folder's path, of the lengths the fields give.
namespace layout {
using record::Field;
inline constexpr Field kVersion{0, 1}; // 1
inline constexpr Field kInode{1, 8};
inline constexpr Field kBirth{9, 8};
inline constexpr Field kFolderInode{17, 8};
inline constexpr Field kFolderDevMajor{25, 4};
inline constexpr Field kFolderDevMinor{29, 4};
inline constexpr Field kPid{33, 4};
inline constexpr Field kStartTime{37, 8};
inline constexpr Field kBootID{45, 16};
inline constexpr Field kNameLength{61, 2};
inline constexpr Field kFolderLength{63, 2};
inline constexpr size_t kFixedSize = 65;
static_assert(record::tiles(0,
                            {kVersion, kInode, kBirth, kFolderInode, kFolderDevMajor,
                             kFolderDevMinor, kPid, kStartTime, kBootID, kNameLength,
                             kFolderLength},
                            kFixedSize));
} // namespace layout

/// The whole of a small file of /proc (at most `size` - 1 bytes), NUL-ended;
/// false when it cannot be read.
bool readProc(const char *path, char *buffer, size_t size) {
  sys::Fd fd(sys::openAt(AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid())
    return false;
  size_t got = 0;
  for (ssize_t n; got + 1 < size && (n = sys::read(fd.get(), buffer + got, size - 1 - got)) > 0;)
    got += static_cast<size_t>(n);
  buffer[got] = '\0';
  return got > 0;
}

/// The start time of process `pid` (field 22 of its stat file, after the
/// command name in parentheses, which may hold anything).  ENOENT in errno
/// when there is no such process.
bool startTimeOf(const char *statPath, uint64_t &out) {
  char buffer[1024];
  if (!readProc(statPath, buffer, sizeof buffer))
    return false;
  const char *p = std::strrchr(buffer, ')');
  if (!p)
    return false;
  ++p;
  for (int field = 2; field < 21; ++field) { // to the space before field 22
    p = std::strchr(p + 1, ' ');
    if (!p)
      return false;
  }
  char *end;
  out = std::strtoull(p + 1, &end, 10);
  return end != p + 1;
}

std::array<uint8_t, 16> readBootID() {
  std::array<uint8_t, 16> id{};
  char text[64];
  if (!readProc("/proc/sys/kernel/random/boot_id", text, sizeof text))
    return id;
  size_t digits = 0;
  for (const char *p = text; *p && digits < 32; ++p) {
    const char c = *p;
    const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (v < 0)
      continue;
    id[digits / 2] = static_cast<uint8_t>(id[digits / 2] << 4 | v);
    ++digits;
  }
  return id;
}

/// The path of folder `index` from its volume's mount point ("" for the root).
std::string pathInVolume(const NodeTable &table, uint32_t index) {
  std::vector<const std::string *> parts;
  for (uint32_t i = index; table.node(i).parent != kNoNode; i = table.node(i).parent)
    parts.push_back(&table.node(i).name);
  std::string out;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it)
    out += (out.empty() ? "" : "/") + **it;
  return out;
}

} // namespace

bool looksTemporary(std::string_view name) {
  if (name.size() != 8)
    return false;
  for (char c : name)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')))
      return false;
  return true;
}

namespace {

std::mutex gStampMutex;
ProcessStamp gStamp; // pid 0 until read; a forked child reads its own

void forgetStamp() { gStamp.pid = 0; }

} // namespace

ProcessStamp ProcessStamp::self() {
  static std::once_flag registered;
  std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, forgetStamp); });
  std::lock_guard<std::mutex> held(gStampMutex);
  if (gStamp.pid == 0) {
    gStamp.pid = static_cast<uint32_t>(::getpid());
    gStamp.startTime = 0;
    startTimeOf("/proc/self/stat", gStamp.startTime);
    gStamp.bootID = readBootID();
  }
  return gStamp;
}

bool ProcessStamp::running() const {
  const ProcessStamp me = self();
  if (bootID != me.bootID)
    return false; // written before this boot
  if (pid == me.pid)
    return startTime == me.startTime;
  char path[40];
  std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
  uint64_t started;
  if (!startTimeOf(path, started))
    return errno != ENOENT && errno != ESRCH; // unknown: leave it be
  return started == startTime;
}

std::vector<uint8_t> RenameRecord::encode() const {
  using namespace layout;
  std::vector<uint8_t> out(kFixedSize + oldName.size() + oldFolder.size());
  uint8_t *p = out.data();
  record::put(p, kVersion, 1);
  record::put(p, kInode, ino);
  record::put(p, kBirth, static_cast<uint64_t>(birth));
  record::put(p, kFolderInode, folderIno);
  record::put(p, kFolderDevMajor, folderDevMajor);
  record::put(p, kFolderDevMinor, folderDevMinor);
  record::put(p, kPid, writer.pid);
  record::put(p, kStartTime, writer.startTime);
  std::memcpy(p + kBootID.at, writer.bootID.data(), kBootID.size);
  record::put(p, kNameLength, oldName.size());
  record::put(p, kFolderLength, oldFolder.size());
  std::memcpy(p + kFixedSize, oldName.data(), oldName.size());
  std::memcpy(p + kFixedSize + oldName.size(), oldFolder.data(), oldFolder.size());
  return out;
}

bool RenameRecord::decode(const uint8_t *p, size_t size) {
  using namespace layout;
  if (size < kFixedSize || record::get(p, kVersion) != 1)
    return false;
  const size_t nameLength = record::get(p, kNameLength),
               folderLength = record::get(p, kFolderLength);
  if (nameLength == 0 || size != kFixedSize + nameLength + folderLength)
    return false;
  ino = record::get(p, kInode);
  birth = static_cast<int64_t>(record::get(p, kBirth));
  folderIno = record::get(p, kFolderInode);
  folderDevMajor = static_cast<uint32_t>(record::get(p, kFolderDevMajor));
  folderDevMinor = static_cast<uint32_t>(record::get(p, kFolderDevMinor));
  writer.pid = static_cast<uint32_t>(record::get(p, kPid));
  writer.startTime = record::get(p, kStartTime);
  std::memcpy(writer.bootID.data(), p + kBootID.at, kBootID.size);
  const char *text = reinterpret_cast<const char *>(p + kFixedSize);
  oldName.assign(text, nameLength);
  oldFolder.assign(text + nameLength, folderLength);
  return oldName.find('/') == std::string::npos && oldName != "." && oldName != "..";
}

bool RenameRecord::write(int dirfd, const char *name) const {
  const std::vector<uint8_t> value = encode();
  return sys::setXattrAt(dirfd, name, kRenameAttribute, value.data(), value.size(), 0) == 0;
}

bool RenameRecord::read(int dirfd, const char *name, RenameRecord &out) {
  uint8_t value[layout::kFixedSize + 255 + 4096];
  const ssize_t n = sys::getXattrAt(dirfd, name, kRenameAttribute, value, sizeof value);
  return n > 0 && out.decode(value, static_cast<size_t>(n));
}

bool recordRename(NodeTable &table, uint32_t index, const Location &where,
                  const struct statx &stx) {
  const Node &node = table.node(index);
  struct statx folder;
  if (sys::statxAt(where.dirfd, "", STATX_INO, &folder) != 0)
    return false;
  RenameRecord r;
  r.ino = stx.stx_ino;
  r.birth = birthOf(stx);
  r.oldName = node.name;
  r.oldFolder = pathInVolume(table, node.parent);
  r.folderIno = folder.stx_ino;
  r.folderDevMajor = folder.stx_dev_major;
  r.folderDevMinor = folder.stx_dev_minor;
  r.writer = ProcessStamp::self();
  if (r.write(where.dirfd, where.name))
    return true;
  // A path too long to keep beside the object's other attributes: its old
  // name where it stands will do.
  r.oldFolder.clear();
  r.folderIno = 0;
  return r.write(where.dirfd, where.name);
}

namespace {

bool sameFolder(int a, int b) {
  struct statx x, y;
  return a == b || (sys::statxAt(a, "", STATX_INO, &x) == 0 &&
                    sys::statxAt(b, "", STATX_INO, &y) == 0 && x.stx_ino == y.stx_ino &&
                    x.stx_dev_major == y.stx_dev_major && x.stx_dev_minor == y.stx_dev_minor);
}

/// The old folder of `r` on `volume`, opened, when it is still the folder
/// the record names; invalid otherwise.
sys::Fd recordedFolder(const RenameRecord &r, const Volume &volume) {
  sys::Fd folder(sys::openAt(volume.rootFd, r.oldFolder.empty() ? "." : r.oldFolder.c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct statx stx;
  if (folder.valid() &&
      (sys::statxAt(folder.get(), "", STATX_INO, &stx) != 0 || stx.stx_ino != r.folderIno ||
       stx.stx_dev_major != r.folderDevMajor || stx.stx_dev_minor != r.folderDevMinor))
    folder.reset();
  return folder;
}

/// Renames `name` of `fromDir` to `to` of `toDir` without replacing, its
/// `._` file carried as by the layer's own renames.
bool renameCarried(int fromDir, const char *name, int toDir, const std::string &to,
                   FSVolumeRefNum volume) {
  detail::SidecarCarrier carried;
  if (carried.prepare(fromDir, name, toDir, to.c_str(), volume) != noErr)
    return false;
  if (detail::renameWithoutReplacing(fromDir, name, toDir, to.c_str(), volume, kNoNode) != 0)
    return false;
  carried.finish();
  return true;
}

} // namespace

Settled settleRename(int dirfd, const char *name, const struct statx &stx, const Volume &volume,
                     std::string &now) {
  RenameRecord r;
  if (!RenameRecord::read(dirfd, name, r) || r.ino != stx.stx_ino ||
      (r.birth && birthOf(stx) && r.birth != birthOf(stx)) || r.writer.running())
    return Settled::Stayed;
  // One settler at a time: the object's flock, taken without waiting (the
  // one holding it settles), and everything looked at again under it.
  sys::Fd held(sys::openAt(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct statx self, there;
  RenameRecord again;
  if (!held.valid() || sys::lockWhole(held.get(), 0) != 0 ||
      sys::statxAt(held.get(), "", STATX_INO, &self) != 0 ||
      sys::statxAt(dirfd, name, STATX_INO, &there) != 0 || self.stx_ino != there.stx_ino ||
      self.stx_ino != stx.stx_ino || !RenameRecord::read(held.get(), "", again) || !(again == r))
    return Settled::Stayed;
  // Its old folder when that is still the one recorded and the name is free
  // there, else its old name where it stands.
  Settled settled = Settled::Stayed;
  sys::Fd folder = recordedFolder(r, volume);
  if (folder.valid() && renameCarried(dirfd, name, folder.get(), r.oldName, volume.refNum))
    settled = sameFolder(folder.get(), dirfd) ? Settled::Renamed : Settled::Left;
  else if (renameCarried(dirfd, name, dirfd, r.oldName, volume.refNum))
    settled = Settled::Renamed;
  if (settled == Settled::Stayed)
    return settled;
  sys::removeXattrAt(held.get(), "", kRenameAttribute);
  now = r.oldName;
  return settled;
}

// --- OpenRenames -------------------------------------------------------------

bool OpenRenames::isOpen(uint32_t index) const {
  return std::any_of(open_.begin(), open_.end(), [&](const Entry &e) {
    return e.index == index && e.thread == std::this_thread::get_id();
  });
}

void OpenRenames::opened(uint32_t index) {
  static std::once_flag registered;
  std::call_once(registered, [] {
    std::atexit([] {
      NodeTable &table = NodeTable::shared();
      auto lock = table.lock();
      table.openRenames().closeAll(table);
    });
  });
  touched_ = true;
  if (!isOpen(index))
    open_.push_back(Entry{index, std::this_thread::get_id(), ProcessStamp::self().pid});
}

void OpenRenames::complete(uint32_t index, const Location &where) {
  const auto at = std::find_if(open_.begin(), open_.end(), [&](const Entry &e) {
    return e.index == index && e.thread == std::this_thread::get_id();
  });
  if (at == open_.end())
    return;
  sys::removeXattrAt(where.dirfd, where.name, kRenameAttribute);
  open_.erase(at);
}

void OpenRenames::closeThreads(NodeTable &table, std::thread::id thread) {
  const uint32_t pid = ProcessStamp::self().pid;
  std::vector<Entry> kept;
  for (const Entry &e : open_) {
    if (e.thread != thread && thread != std::thread::id()) {
      kept.push_back(e);
      continue;
    }
    Location where;
    if (e.pid == pid && table.locate(e.index, where) == noErr)
      sys::removeXattrAt(where.dirfd, where.name, kRenameAttribute);
  }
  open_ = std::move(kept);
}

void OpenRenames::closeAll(NodeTable &table) { closeThreads(table, std::thread::id()); }

} // namespace quillmate::fm
