// Helpers of the file utility library's tests: forks read and written whole,
// Finder information and creation dates set, and everything a file carries
// gathered into one comparable value.
#ifndef QUILLMATE_TESTS_FILES_SUPPORT_H
#define QUILLMATE_TESTS_FILES_SUPPORT_H

#include <FileUtilities.h>

#include "tests/platform/filemanager/FileManagerTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <vector>

namespace filestest {

using namespace fmtest;

inline const std::u16string &resourceForkName() {
  static const std::u16string name = u16("RESOURCE_FORK");
  return name;
}

/// Opens the data fork, or the resource fork when `resource`.
inline OSErr openFork(const FSRef &file, bool resource, SInt8 permissions, FSIORefNum &fork) {
  const std::u16string &name = resourceForkName();
  return FSOpenFork(&file, resource ? name.size() : 0, resource ? units(name) : nullptr,
                    permissions, &fork);
}

/// A fork's whole contents, or "<error N>".
inline std::string readFork(const FSRef &file, bool resource) {
  FSIORefNum fork;
  if (OSErr err = openFork(file, resource, fsRdPerm, fork))
    return "<error " + std::to_string(err) + ">";
  SInt64 size = 0;
  FSGetForkSize(fork, &size);
  std::string out(static_cast<size_t>(size), '\0');
  ByteCount got = 0;
  OSErr err = FSReadFork(fork, fsFromStart, 0, out.size(), out.data(), &got);
  FSCloseFork(fork);
  if (err != noErr && err != eofErr)
    return "<error " + std::to_string(err) + ">";
  out.resize(got);
  return out;
}

/// Replaces a fork's contents.
inline OSErr writeFork(const FSRef &file, bool resource, const std::string &bytes) {
  FSIORefNum fork;
  if (OSErr err = openFork(file, resource, fsRdWrPerm, fork))
    return err;
  OSErr err = FSSetForkSize(fork, fsFromStart, 0);
  if (err == noErr)
    err = FSWriteFork(fork, fsFromStart, 0, bytes.size(), bytes.data(), nullptr);
  FSCloseFork(fork);
  return err;
}

/// A four-character code ("TEXT").
constexpr OSType fourCC(const char (&c)[5]) {
  return OSType(UInt8(c[0])) << 24 | OSType(UInt8(c[1])) << 16 | OSType(UInt8(c[2])) << 8 |
         OSType(UInt8(c[3]));
}

/// Gives a file a type and creator and a creation date (seconds since 1904).
inline OSErr setTypeAndCreated(const FSRef &file, OSType type, OSType creator, UInt32 created) {
  FSCatalogInfo info{};
  FileInfo finder{};
  finder.fileType = type;
  finder.fileCreator = creator;
  std::memcpy(info.finderInfo, &finder, sizeof finder);
  info.createDate.lowSeconds = created;
  return FSSetCatalogInfo(&file, kFSCatInfoFinderInfo | kFSCatInfoCreateDate, &info);
}

inline std::string hex(const UInt8 *bytes, size_t n) {
  std::string out;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", bytes[i]);
    out += b;
  }
  return out;
}

/// Everything a file carries that an exchange or a move must keep where it
/// belongs.  Compared as a whole, printed field by field.
struct FileState {
  std::string contents, resource, finderInfo;
  UInt32 created = 0;
  unsigned mode = 0, uid = 0;
  long long modifiedNs = 0;
  unsigned long long inode = 0;
  bool renameRecord = false; // a rename through a temporary name left its record

  std::string str() const {
    char b[160];
    std::snprintf(b, sizeof b, " created=%u mode=%o uid=%u mtime=%lld inode=%llu", created, mode,
                  uid, modifiedNs, inode);
    return "contents=\"" + contents + "\" resource=\"" + resource + "\" finder=" + finderInfo +
           b + (renameRecord ? " with a rename record" : "");
  }
};

/// The state of the file at `path`, or a state whose contents say why there
/// is none.
inline FileState stateOf(const std::string &path) {
  FileState s;
  FSRef ref;
  struct stat st;
  if (refFor(path, ref) != noErr || ::lstat(path.c_str(), &st) != 0) {
    s.contents = "<missing " + path + ">";
    return s;
  }
  s.contents = readFork(ref, false);
  s.resource = readFork(ref, true);
  FSCatalogInfo info;
  if (FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo | kFSCatInfoCreateDate, &info, nullptr,
                       nullptr, nullptr) == noErr) {
    s.finderInfo = hex(info.finderInfo, sizeof info.finderInfo);
    s.created = info.createDate.lowSeconds;
  }
  s.renameRecord = ::lgetxattr(path.c_str(), "user.quillmate.rename", nullptr, 0) >= 0;
  s.mode = st.st_mode & 07777;
  s.uid = st.st_uid;
  s.modifiedNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.inode = st.st_ino;
  return s;
}

/// The names in a folder, sorted, as a user of the File Manager sees them:
/// the `._` file beside an object (its resource fork) is part of that object
/// and not listed; one beside no object is.
inline std::vector<std::string> listing(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = ::opendir(dir.c_str())) {
    while (struct dirent *e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..")
        names.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  const std::vector<std::string> all = names; // erase_if moves names about
  std::erase_if(names, [&](const std::string &n) {
    return n.size() > 2 && n.starts_with("._") &&
           std::binary_search(all.begin(), all.end(), n.substr(2));
  });
  return names;
}

} // namespace filestest

#endif
