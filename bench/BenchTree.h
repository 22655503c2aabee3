// The tree the folder benchmarks walk and delete: 100,000 empty files in
// 1,010 folders (10 folders of 100 folders of 100 files), made with plain
// system calls under /tmp, or under $QUILLMATE_BENCH_DIR.
#ifndef QUILLMATE_BENCH_BENCHTREE_H
#define QUILLMATE_BENCH_BENCHTREE_H

#include <CoreServices/CoreServices.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <map>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace benchtree {

constexpr int kTop = 10, kMid = 100, kFiles = 100;

inline std::string base() {
  const char *env = std::getenv("QUILLMATE_BENCH_DIR");
  return env ? env : "/tmp";
}

inline void make(const std::string &root) {
  mkdir(root.c_str(), 0755);
  for (int a = 0; a < kTop; ++a) {
    std::string pa = root + "/d" + std::to_string(a);
    mkdir(pa.c_str(), 0755);
    for (int b = 0; b < kMid; ++b) {
      std::string pb = pa + "/e" + std::to_string(b);
      mkdir(pb.c_str(), 0755);
      int dfd = open(pb.c_str(), O_DIRECTORY | O_RDONLY);
      for (int c = 0; c < kFiles; ++c) {
        std::string name = "file" + std::to_string(c) + ".txt";
        int fd = openat(dfd, name.c_str(), O_CREAT | O_WRONLY, 0644);
        close(fd);
      }
      close(dfd);
    }
  }
}

/// Gives every `every`-th file of the tree `make` built a `._` file beside
/// it holding `bytes` (a resource fork in the double format).
inline void addSidecars(const std::string &root, const std::string &bytes, int every) {
  for (int a = 0; a < kTop; ++a)
    for (int b = 0; b < kMid; ++b) {
      std::string pb = root + "/d" + std::to_string(a) + "/e" + std::to_string(b);
      int dfd = open(pb.c_str(), O_DIRECTORY | O_RDONLY);
      for (int c = 0; c < kFiles; c += every) {
        std::string name = "._file" + std::to_string(c) + ".txt";
        int fd = openat(dfd, name.c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
          std::abort();
        close(fd);
      }
      close(dfd);
    }
}

/// A folder of `count` empty files.
inline void makeFlat(const std::string &root, int count) {
  mkdir(root.c_str(), 0755);
  int dfd = open(root.c_str(), O_DIRECTORY | O_RDONLY);
  for (int c = 0; c < count; ++c) {
    std::string name = "item" + std::to_string(c);
    close(openat(dfd, name.c_str(), O_CREAT | O_WRONLY, 0644));
  }
  close(dfd);
}

inline void remove(const std::string &root) {
  std::string cmd = "rm -rf '" + root + "'";
  if (std::system(cmd.c_str()) != 0)
    std::abort();
}

/// The folder `make` builds at base/name-<pid>, made once per (base, name)
/// and removed when the process exits.
inline const std::string &once(const std::string &base, const std::string &name,
                               const std::function<void(const std::string &)> &make) {
  static std::map<std::string, std::string> made;
  std::string root = base + "/" + name + "-" + std::to_string(getpid());
  auto it = made.find(root);
  if (it == made.end()) {
    make(root);
    if (made.empty())
      std::atexit([] {
        for (auto &entry : made)
          remove(entry.second);
      });
    it = made.emplace(root, root).first;
  }
  return it->second;
}

/// What a walk does with each item beside counting it: the C walk's gets
/// the item's folder descriptor and name, the File Manager's its catalog
/// information.
using PosixItem = std::function<void(int dirfd, const char *name)>;
using CatalogItem = std::function<void(const FSCatalogInfo &info)>;

/// The plain C walk the File Manager's walks are measured against:
/// openat/readdir/fstatat, descending into folders; closes `dirfd`.
inline long walkPosix(int dirfd, const PosixItem &perItem = nullptr) {
  DIR *d = fdopendir(dirfd);
  long count = 0;
  while (struct dirent *e = readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
      continue;
    struct stat st;
    if (fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      std::abort();
    if (perItem)
      perItem(dirfd, e->d_name);
    ++count;
    if (S_ISDIR(st.st_mode))
      count += walkPosix(openat(dirfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW), perItem);
  }
  closedir(d);
  return count;
}

/// The File Manager's walk: FSGetCatalogInfoBulk `perCall` items a call,
/// asking `which` and the node flags it descends by.
inline long walkFileManager(const FSRef &folder, ItemCount perCall,
                            FSCatalogInfoBitmap which = kFSCatInfoNodeFlags,
                            const CatalogItem &perItem = nullptr) {
  FSIterator it;
  if (FSOpenIterator(&folder, kFSIterateFlat, &it) != noErr)
    std::abort();
  long count = 0;
  FSCatalogInfo infos[64];
  FSRef refs[64];
  for (;;) {
    ItemCount n = 0;
    OSErr err = FSGetCatalogInfoBulk(it, perCall, &n, nullptr, which | kFSCatInfoNodeFlags, infos,
                                     refs, nullptr, nullptr);
    for (ItemCount i = 0; i < n; ++i) {
      if (perItem)
        perItem(infos[i]);
      ++count;
      if (infos[i].nodeFlags & kFSNodeIsDirectoryMask)
        count += walkFileManager(refs[i], perCall, which, perItem);
    }
    if (err == errFSNoMoreItems)
      break;
    if (err != noErr)
      std::abort();
  }
  FSCloseIterator(it);
  return count;
}

} // namespace benchtree

#endif
