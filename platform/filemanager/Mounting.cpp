// Volume mount records and mounting.
//
// A record holds what mount(2) needs to mount the file system again.  All
// integers are in the machine's byte order, without padding:
//
//   offset  size  field
//   0       2     length     SInt16, bytes of the whole record
//   2       4     media      'qmnt'
//   6       2     flags      0 (any other value is refused)
//   8       2     version    1
//   10      2     reserved   0
//   12      16    four (offset UInt16, length UInt16) pairs, in this order:
//                 source, file-system type, options, mount point
//   28      ...   the four strings, UTF-8, each followed by a NUL
//
// A string's length excludes its NUL; it holds no NUL itself and lies, NUL
// included, inside the record after the fixed part.  The type and the mount
// point are not empty and the point is an absolute path.  Options are
// comma-separated words as mount(8) takes them: ro/rw, nosuid, noexec, ...
// become mount(2)'s flags, the rest goes to the file system as its data.
// Any record that breaks one of these rules is refused with paramErr before
// anything is mounted.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/MountInfo.h"
#include "platform/filemanager/Syscalls.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <string_view>
#include <sys/mount.h>

namespace quillmate::fm {
namespace {

constexpr OSType kMedia = 0x716d6e74; // 'qmnt'
constexpr UInt16 kVersion = 1;
constexpr size_t kFixedSize = 28;
constexpr size_t kFieldTable = 12;
constexpr size_t kMaxRecord = 0x7FFF;

enum Field { kSource, kType, kOptions, kPoint, kFieldCount };

template <class T> void put(unsigned char *at, T v) { std::memcpy(at, &v, sizeof v); }
template <class T> T get(const unsigned char *at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

struct MountFlag {
  std::string_view word;
  unsigned long set;   // bits the word sets
  unsigned long clear; // bits the word clears
};

constexpr std::array<MountFlag, 24> kMountFlags = {{
    {"ro", MS_RDONLY, 0},          {"rw", 0, MS_RDONLY},
    {"nosuid", MS_NOSUID, 0},      {"suid", 0, MS_NOSUID},
    {"nodev", MS_NODEV, 0},        {"dev", 0, MS_NODEV},
    {"noexec", MS_NOEXEC, 0},      {"exec", 0, MS_NOEXEC},
    {"sync", MS_SYNCHRONOUS, 0},   {"async", 0, MS_SYNCHRONOUS},
    {"dirsync", MS_DIRSYNC, 0},    {"mand", MS_MANDLOCK, 0},
    {"nomand", 0, MS_MANDLOCK},    {"noatime", MS_NOATIME, 0},
    {"atime", 0, MS_NOATIME},      {"nodiratime", MS_NODIRATIME, 0},
    {"diratime", 0, MS_NODIRATIME}, {"relatime", MS_RELATIME, 0},
    {"norelatime", 0, MS_RELATIME}, {"strictatime", MS_STRICTATIME, 0},
    {"lazytime", MS_LAZYTIME, 0},  {"nolazytime", 0, MS_LAZYTIME},
    {"silent", MS_SILENT, 0},      {"loud", 0, MS_SILENT},
}};

const MountFlag *flagWord(std::string_view word) {
  for (const MountFlag &f : kMountFlags)
    if (f.word == word)
      return &f;
  return nullptr;
}

template <class F> void eachWord(std::string_view options, F &&f) {
  size_t start = 0;
  while (start < options.size()) {
    size_t end = options.find(',', start);
    if (end == std::string_view::npos)
      end = options.size();
    if (end > start)
      f(options.substr(start, end - start));
    start = end + 1;
  }
}

/// The options of a mount as one list: the mount's flags, ro or rw for the
/// mount and its file system together, then the file system's own options.
std::string optionsOf(const mountinfo::Mount &m) {
  std::string out = m.readOnly() ? "ro" : "rw";
  auto add = [&](std::string_view word) {
    if (word == "ro" || word == "rw" || mountinfo::hasOption(out, word))
      return;
    out += ',';
    out += word;
  };
  eachWord(m.mountOptions, add);
  eachWord(m.superOptions, add);
  return out;
}

OSErr makeRecord(const mountinfo::Mount &m, std::string &out) {
  const std::string options = optionsOf(m);
  const std::array<const std::string *, kFieldCount> fields = {&m.source, &m.type, &options,
                                                               &m.point};
  size_t size = kFixedSize;
  for (const std::string *f : fields)
    size += f->size() + 1;
  if (size > kMaxRecord)
    return paramErr; // cannot be told in the record's 16-bit length
  out.assign(size, '\0');
  auto *p = reinterpret_cast<unsigned char *>(out.data());
  put<SInt16>(p, static_cast<SInt16>(size));
  put<OSType>(p + 2, kMedia);
  put<SInt16>(p + 6, 0);
  put<UInt16>(p + 8, kVersion);
  put<UInt16>(p + 10, 0);
  size_t at = kFixedSize;
  for (int i = 0; i < kFieldCount; ++i) {
    put<UInt16>(p + kFieldTable + 4 * i, static_cast<UInt16>(at));
    put<UInt16>(p + kFieldTable + 4 * i + 2, static_cast<UInt16>(fields[i]->size()));
    std::memcpy(p + at, fields[i]->data(), fields[i]->size());
    at += fields[i]->size() + 1;
  }
  return noErr;
}

struct Record {
  std::array<std::string, kFieldCount> field;
};

OSErr parseRecord(const unsigned char *p, Record &out) {
  const SInt16 length = get<SInt16>(p);
  if (length < static_cast<SInt16>(kFixedSize))
    return paramErr;
  // Nothing past `length` bytes is read: the header comes first, then the
  // field table, each checked before use.
  if (get<OSType>(p + 2) != kMedia || get<SInt16>(p + 6) != 0 || get<UInt16>(p + 8) != kVersion ||
      get<UInt16>(p + 10) != 0)
    return paramErr;
  for (int i = 0; i < kFieldCount; ++i) {
    const size_t offset = get<UInt16>(p + kFieldTable + 4 * i);
    const size_t size = get<UInt16>(p + kFieldTable + 4 * i + 2);
    if (offset < kFixedSize || offset + size + 1 > static_cast<size_t>(length))
      return paramErr;
    const char *s = reinterpret_cast<const char *>(p + offset);
    if (s[size] != '\0' || std::memchr(s, '\0', size))
      return paramErr;
    out.field[i].assign(s, size);
  }
  if (out.field[kType].empty() || out.field[kPoint].empty() || out.field[kPoint][0] != '/')
    return paramErr;
  return noErr;
}

OSErr mountStatus(int err) {
  switch (err) {
  case EPERM:
  case EACCES:
    return permErr;
  case ENODEV:  // no such file-system type in this kernel
  case ENOTBLK: // the source is not a block device
  case ENXIO:
    return paramErr;
  default:
    return sys::statusFor(err);
  }
}

} // namespace

namespace {

/// The record of the volume `pb` names, for the two calls that read it.
template <class F> OSErr withRecord(ParmBlkPtr pb, F &&use) {
  if (!pb)
    return paramErr;
  IOParam &io = pb->ioParam;
  OSErr err = paramErr;
  if (io.ioBuffer) {
    NodeTable &table = NodeTable::shared();
    auto lock = table.lock();
    mountinfo::Mount mount;
    Volume *v;
    std::string record;
    err = mountinfo::byRefNum(io.ioVRefNum, mount, v);
    if (err == noErr)
      err = makeRecord(mount, record);
    if (err == noErr)
      err = use(reinterpret_cast<unsigned char *>(io.ioBuffer), record);
  }
  io.ioResult = err;
  return err;
}

/// Mounts record `r` unless it is mounted already; the volume's refNum.
OSErr mountRecord(const Record &r, FSVolumeRefNum &refNum) {
  unsigned long flags = 0;
  std::string data;
  eachWord(r.field[kOptions], [&](std::string_view word) {
    if (const MountFlag *f = flagWord(word)) {
      flags = (flags | f->set) & ~f->clear;
    } else {
      if (!data.empty())
        data += ',';
      data += word;
    }
  });

  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  std::vector<mountinfo::Mount> mounts;
  if (!mountinfo::read(mounts))
    return ioErr;
  for (const mountinfo::Mount &m : mounts) {
    Volume *v;
    if (m.point == r.field[kPoint] && m.type == r.field[kType] && m.source == r.field[kSource] &&
        mountinfo::volumeOf(m, v) == noErr) {
      refNum = v->refNum;
      return noErr;
    }
  }
  // The point must be a folder itself: mount(2) would follow a symbolic
  // link there, and the new volume could not be found by its point.
  const char *point = r.field[kPoint].c_str();
  struct statx stx;
  if (sys::statxAt(AT_FDCWD, point, kIdentityMask, &stx) < 0)
    return sys::lastStatus();
  if (!S_ISDIR(stx.stx_mode))
    return dirNFErr;
  if (sys::mount(r.field[kSource].c_str(), point, r.field[kType].c_str(), flags,
                 data.empty() ? nullptr : data.c_str()) < 0)
    return mountStatus(errno);
  uint32_t root;
  if (sys::statxAt(AT_FDCWD, point, kIdentityMask, &stx) < 0)
    return sys::lastStatus();
  if (OSErr err = table.volumeRootFor(stx, root))
    return err;
  refNum = table.node(root).volume;
  return noErr;
}

} // namespace

namespace {
// The size last reported for each volume (under the table's lock).  The
// caller sizes its buffer by it; a record that grew since (a remount with
// longer options) is refused rather than written past that buffer.
std::map<FSVolumeRefNum, size_t> gReportedSize;
} // namespace

OSErr PosixFileManager::getVolMountInfoSize(ParmBlkPtr pb) {
  return withRecord(pb, [pb](unsigned char *out, const std::string &record) {
    gReportedSize[pb->ioParam.ioVRefNum] = record.size();
    put<SInt16>(out, static_cast<SInt16>(record.size()));
    return noErr;
  });
}

OSErr PosixFileManager::getVolMountInfo(ParmBlkPtr pb) {
  return withRecord(pb, [pb](unsigned char *out, const std::string &record) {
    auto reported = gReportedSize.find(pb->ioParam.ioVRefNum);
    if (reported != gReportedSize.end() && record.size() > reported->second)
      return OSErr(paramErr); // ask for the size again
    std::memcpy(out, record.data(), record.size());
    return OSErr(noErr);
  });
}

OSErr PosixFileManager::volumeMount(ParmBlkPtr pb) {
  if (!pb)
    return paramErr;
  IOParam &io = pb->ioParam;
  Record r;
  FSVolumeRefNum refNum = 0;
  OSErr err = io.ioBuffer ? parseRecord(reinterpret_cast<const unsigned char *>(io.ioBuffer), r)
                          : OSErr(paramErr);
  if (err == noErr)
    err = mountRecord(r, refNum);
  if (err == noErr)
    io.ioVRefNum = refNum;
  io.ioResult = err;
  return err;
}

} // namespace quillmate::fm
