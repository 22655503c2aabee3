// The tree the folder benchmarks walk and delete: 100,000 empty files in
// 1,010 folders (10 folders of 100 folders of 100 files), made with plain
// system calls under /tmp, or under $QUILLMATE_BENCH_DIR.
#ifndef QUILLMATE_BENCH_BENCHTREE_H
#define QUILLMATE_BENCH_BENCHTREE_H

#include <cstdlib>
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

} // namespace benchtree

#endif
