// Volume mount records and mounting: the records of mounted volumes, and
// mount(2) for a record (its layout and decoder in MountRecord.h).
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/MountInfo.h"
#include "platform/filemanager/MountRecord.h"
#include "platform/filemanager/Syscalls.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <string_view>
#include <sys/mount.h>

namespace quillmate::fm {
namespace {

using namespace mountrecord;

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
  Record r;
  r.field = {m.source, m.type, optionsOf(m), m.point};
  return mountrecord::write(r, out);
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
  unsigned long flags;
  std::string data;
  mountArguments(r.field[kOptions], flags, data);

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
  OSErr err = io.ioBuffer
                  ? mountrecord::parse(reinterpret_cast<const unsigned char *>(io.ioBuffer), r)
                  : OSErr(paramErr);
  if (err == noErr)
    err = mountRecord(r, refNum);
  if (err == noErr)
    io.ioVRefNum = refNum;
  io.ioResult = err;
  return err;
}

} // namespace quillmate::fm
