// Shared helpers of the File Manager tests: temporary folders on real file
// systems, UTF-16 names, and references made through paths.
#ifndef QUILLMATE_TESTS_FILEMANAGER_SUPPORT_H
#define QUILLMATE_TESTS_FILEMANAGER_SUPPORT_H

#include <CoreServices/CoreServices.h>

#include "platform/filemanager/Sidecar.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <set>
#include <grp.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace fmtest {

/// A fresh folder under `base`, removed with everything in it at the end.
class TempDir {
public:
  explicit TempDir(const std::string &base = "/tmp") {
    std::string pattern = base + "/quillmate-fm-XXXXXX";
    char *p = ::mkdtemp(pattern.data());
    if (p)
      path_ = p;
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::string cmd = "chmod -R u+w '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
      (void)std::system(cmd.c_str());
    }
  }
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

inline std::u16string u16(const char *utf8) {
  std::u16string out;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(utf8); *p;) {
    char32_t c;
    if (*p < 0x80) {
      c = *p++;
    } else if ((*p & 0xE0) == 0xC0) {
      c = (*p++ & 0x1F) << 6;
      c |= *p++ & 0x3F;
    } else if ((*p & 0xF0) == 0xE0) {
      c = (*p++ & 0x0F) << 12;
      c |= (*p++ & 0x3F) << 6;
      c |= *p++ & 0x3F;
    } else {
      c = (*p++ & 0x07) << 18;
      c |= (*p++ & 0x3F) << 12;
      c |= (*p++ & 0x3F) << 6;
      c |= *p++ & 0x3F;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

inline const UniChar *units(const std::u16string &s) {
  return reinterpret_cast<const UniChar *>(s.data());
}

inline std::u16string fromUni(const HFSUniStr255 &n) {
  return std::u16string(reinterpret_cast<const char16_t *>(n.unicode), n.length);
}

inline OSStatus refFor(const std::string &path, FSRef &ref, Boolean *isDir = nullptr) {
  return FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, isDir);
}

inline std::string pathOf(const FSRef &ref) {
  UInt8 buffer[4096];
  if (FSRefMakePath(&ref, buffer, sizeof buffer) != noErr)
    return "<error>";
  return reinterpret_cast<const char *>(buffer);
}

inline OSErr createFile(const FSRef &parent, const char *name, FSRef *out = nullptr) {
  std::u16string n = u16(name);
  return FSCreateFileUnicode(&parent, n.size(), units(n), kFSCatInfoNone, nullptr, out, nullptr);
}

inline OSErr createDir(const FSRef &parent, const char *name, FSRef *out = nullptr) {
  std::u16string n = u16(name);
  return FSCreateDirectoryUnicode(&parent, n.size(), units(n), kFSCatInfoNone, nullptr, out,
                                  nullptr, nullptr);
}

inline OSErr child(const FSRef &parent, const char *name, FSRef &out) {
  std::u16string n = u16(name);
  return FSMakeFSRefUnicode(&parent, n.size(), units(n), kTextEncodingUnknown, &out);
}

/// The names in folder `dir`, without "." and "..".
inline std::set<std::string> entriesOf(const std::string &dir) {
  std::set<std::string> out;
  if (DIR *d = ::opendir(dir.c_str())) {
    while (dirent *e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
        out.insert(e->d_name);
    ::closedir(d);
  }
  return out;
}

/// Whether the file system holding `path` keeps user extended attributes.
inline bool keepsUserAttributes(const std::string &path) {
  return ::getxattr(path.c_str(), "user.probe", nullptr, 0) >= 0 || errno != ENOTSUP;
}

inline bool exists(const std::string &path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

inline void writeFile(const std::string &path, const std::string &data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  ::close(fd);
}

inline std::string readFile(const std::string &path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0)
    return "<missing>";
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0)
    out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

/// The resource fork of `name` in `folder` as the `._` file beside it holds
/// it: "<none>" without one that is the object's.
inline std::string sidecarFork(const std::string &folder, const char *name) {
  namespace sys = quillmate::fm::sys;
  namespace sidecar = quillmate::fm::sidecar;
  sys::Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY));
  struct statx object {};
  sys::statxAt(dir.get(), name, STATX_INO | STATX_BTIME | STATX_MODE | STATX_TYPE, &object);
  sidecar::File f;
  sidecar::Found found;
  if (sidecar::open(dir.get(), name, object, O_RDONLY, f, found) != noErr ||
      found != sidecar::Found::Attached || !f.fork())
    return "<none>";
  std::string bytes(f.fork()->length, '\0');
  if (sys::pread(f.fd.get(), bytes.data(), bytes.size(), f.fork()->offset) != ssize_t(bytes.size()))
    return "<short>";
  return bytes;
}

/// A `._` file laid out as some programs write it, with entries behind the
/// resource fork: the fork ("RSRC", at 62), a comment ("notes") and the
/// Finder information (`finderInfo`, 32 bytes), in that order.
inline std::string forkFirstSidecar(const UInt8 *finderInfo) {
  namespace dbl = quillmate::fm::dbl;
  dbl::Header h;
  h.count = 3;
  h.entries[0] = {dbl::kResourceFork, 62, 4};
  h.entries[1] = {dbl::kComment, 66, 5};
  h.entries[2] = {dbl::kFinderInfo, 71, 32};
  std::string bytes(103, '\0');
  h.encode(reinterpret_cast<UInt8 *>(bytes.data()));
  bytes.replace(62, 4, "RSRC");
  bytes.replace(66, 5, "notes");
  std::memcpy(bytes.data() + 71, finderInfo, dbl::kFinderInfoSize);
  return bytes;
}

/// Deletes everything inside `folder` through the layer, depth first.
inline OSErr deleteContents(const FSRef &folder) {
  FSIterator it;
  if (OSErr err = FSOpenIterator(&folder, kFSIterateDelete, &it))
    return err;
  OSErr status = noErr;
  for (;;) {
    ItemCount n = 0;
    FSCatalogInfo info;
    FSRef item;
    OSErr err = FSGetCatalogInfoBulk(it, 1, &n, nullptr, kFSCatInfoNodeFlags, &info, &item,
                                     nullptr, nullptr);
    if (n == 1) {
      if (info.nodeFlags & kFSNodeIsDirectoryMask)
        if ((status = deleteContents(item)))
          break;
      if ((status = FSDeleteObject(&item)))
        break;
    }
    if (err == errFSNoMoreItems)
      break;
    if ((status = err))
      break;
  }
  FSCloseIterator(it);
  return status;
}

/// The user (and group) ID of nobody, whom refusals are checked as: root
/// passes every kernel check.
inline constexpr uid_t kNobody = 65534;

/// Runs `body` as nobody, without supplementary groups, in a child process;
/// answers the child's exit status: 0 when every check held, else the
/// number of the check that failed.
inline int asNobody(const std::function<int()> &body) {
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
         setresuid(kNobody, kNobody, kNobody) != 0))
      _exit(99);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

/// The standard output of a shell command, without its final newlines.
inline std::string shell(const std::string &command) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (!p)
    return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  pclose(p);
  while (!out.empty() && out.back() == '\n')
    out.pop_back();
  return out;
}

// --- Cases that run in a child process -------------------------------------

/// True in a child that runChildCases started in a private mount namespace.
inline bool inPrivateMountNamespace() { return std::getenv("QUILLMATE_MOUNT_NS") != nullptr; }
/// True in any child that runChildCases started.
inline bool inChildProcess() { return std::getenv("QUILLMATE_CHILD_CASES") != nullptr; }

/// Standard output and error of a shell command; `status` receives what
/// pclose answers (0 when the command succeeded).
inline std::string runCommand(const std::string &command, int &status) {
  std::string out;
  FILE *p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) {
    status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
    out.append(buffer, n);
  status = ::pclose(p);
  return out;
}

/// Runs the cases of this test binary that `filter` picks again in a child
/// process, with `environment` ("NAME=value ...", quoted by the caller) set,
/// and when `privateMounts` under `unshare -m --propagation private`, so that
/// what the cases mount is seen by no one else and goes away with them.  The
/// calling case fails when a child case fails; it is skipped, with the reason,
/// when the machine forbids the namespace or every child case was skipped,
/// and in a child itself.
inline void runChildCases(const std::string &filter, bool privateMounts,
                          const std::string &environment = "") {
  if (inChildProcess())
    GTEST_SKIP() << "already in a child";
  int status;
  if (privateMounts) {
    std::string probe = runCommand("unshare -m --propagation private true", status);
    if (status != 0)
      GTEST_SKIP() << "this machine forbids a private mount namespace (unshare -m): " << probe;
  }
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  std::string command = "QUILLMATE_CHILD_CASES=1 " + environment + " ";
  if (privateMounts)
    command += "QUILLMATE_MOUNT_NS=1 unshare -m --propagation private ";
  std::string out = runCommand(command + "'" + self + "' --gtest_filter='" + filter + "'", status);
  EXPECT_EQ(out.find("[  FAILED  ]"), std::string::npos) << out;
  if (out.find("[       OK ]") == std::string::npos &&
      out.find("[  SKIPPED ]") != std::string::npos && status == 0)
    GTEST_SKIP() << "every case skipped in the child:\n" << out;
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("[       OK ]"), std::string::npos) << "no case ran: " << out;
}

/// Base of the cases that run only in a child that runChildCases started in
/// a private mount namespace: skipped anywhere else, and where mount(2) is
/// refused even there.  Whatever is mounted on a point() is detached after.
class MountNamespaceCase : public ::testing::Test {
protected:
  void SetUp() override {
    if (!inPrivateMountNamespace())
      GTEST_SKIP() << "runs only in the private mount namespace of the case that starts it";
    ASSERT_FALSE(dir_.path().empty());
    // Can this process mount at all?  Only a scratch tmpfs, unmounted at once.
    if (::mount("none", dir_.path().c_str(), "tmpfs", 0, "size=64k") != 0)
      GTEST_SKIP() << "mount(2) is not permitted here: " << std::strerror(errno);
    ::umount2(dir_.path().c_str(), MNT_DETACH);
  }
  void TearDown() override {
    // The node table keeps the roots it met open: detach lazily.
    for (const std::string &p : points_)
      while (::umount2(p.c_str(), MNT_DETACH) == 0) {
      }
  }
  /// A new folder `name` in the case's folder, to mount on.
  std::string point(const char *name) {
    std::string p = dir_ / name;
    ::mkdir(p.c_str(), 0755);
    points_.push_back(p);
    return p;
  }

  TempDir dir_;
  std::vector<std::string> points_;
};

/// A one-byte (Pascal) name for the classic calls.
struct PascalName {
  explicit PascalName(const std::string &s) {
    bytes[0] = static_cast<unsigned char>(s.size());
    std::memcpy(bytes + 1, s.data(), s.size() & 0xFF);
  }
  unsigned char bytes[256] = {};
};

/// The volume and directory ID of the folder `ref` names.
inline OSErr folderIDs(const FSRef &ref, FSVolumeRefNum &volume, SInt32 &dirID) {
  FSCatalogInfo info;
  OSErr err = FSGetCatalogInfo(&ref, kFSCatInfoVolume | kFSCatInfoNodeID, &info, nullptr,
                               nullptr, nullptr);
  if (err == noErr) {
    volume = info.volume;
    dirID = static_cast<SInt32>(info.nodeID);
  }
  return err;
}

inline FSSpec specOf(const FSRef &ref) {
  FSSpec spec{};
  EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr), noErr);
  return spec;
}

inline FSCatalogInfo infoOf(const FSRef &ref, FSCatalogInfoBitmap which) {
  FSCatalogInfo info{};
  EXPECT_EQ(FSGetCatalogInfo(&ref, which, &info, nullptr, nullptr, nullptr), noErr);
  return info;
}

/// A block for PBHCopyFileSync or PBHMoveRenameSync of the object `source`
/// into folder `dest`, under `name` (a Pascal string, or null for the
/// source's name).
inline HParamBlockRec copyBlock(FSSpec &source, const FSRef &dest, StringPtr name) {
  const FSCatalogInfo folder = infoOf(dest, kFSCatInfoVolume | kFSCatInfoNodeID);
  HParamBlockRec pb{};
  pb.copyParam.ioNamePtr = source.name;
  pb.copyParam.ioVRefNum = source.vRefNum;
  pb.copyParam.ioDirID = source.parID;
  pb.copyParam.ioDstVRefNum = folder.volume;
  pb.copyParam.ioNewDirID = static_cast<SInt32>(folder.nodeID);
  pb.copyParam.ioCopyName = name;
  return pb;
}

/// What one bulk read of a folder lists when it lists everything (at most
/// `most` items): the references, FSSpecs and names, in the listing's order.
struct Listing {
  std::vector<FSRef> refs;
  std::vector<FSSpec> specs;
  std::vector<HFSUniStr255> names;
};

inline Listing listFolder(const FSRef &folder, ItemCount most = 16) {
  Listing out;
  out.refs.resize(most);
  out.specs.resize(most);
  out.names.resize(most);
  FSIterator it;
  ItemCount count = 0;
  EXPECT_EQ(FSOpenIterator(&folder, kFSIterateFlat, &it), noErr);
  EXPECT_EQ(FSGetCatalogInfoBulk(it, most, &count, nullptr, kFSCatInfoNone, nullptr,
                                 out.refs.data(), out.specs.data(), out.names.data()),
            errFSNoMoreItems);
  EXPECT_EQ(FSCloseIterator(it), noErr);
  out.refs.resize(count);
  out.specs.resize(count);
  out.names.resize(count);
  return out;
}

/// Folders on each kind of file system the layer must work on.
inline std::vector<std::string> bases() { return {"/tmp", "/dev/shm"}; }

/// A fresh folder on the file system the test is instantiated for, and its
/// reference.
class OnEachFileSystem : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(refFor(dir_.path(), root_), noErr);
  }
  TempDir dir_{GetParam()};
  FSRef root_;
};

} // namespace fmtest

#endif
