// The real programs a user shares Mac metadata with, for the tests that meet
// them: a file server for Mac clients started on the loopback address with a
// state folder of its own, its command-line client, the archiver, and a
// file system without extended attributes (a FUSE mount).  Each says why it
// cannot run (not installed, not root, no FUSE), so that a test can skip.
#ifndef QUILLMATE_TESTS_FILEMANAGER_PEERSUPPORT_H
#define QUILLMATE_TESTS_FILEMANAGER_PEERSUPPORT_H

#include "FileManagerTestSupport.h"

#include <arpa/inet.h>
#include <fstream>
#include <memory>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fmtest {

/// The output of a shell command (standard output only) and its exit status.
inline int run(const std::string &command, std::string *output = nullptr) {
  FILE *p = ::popen(command.c_str(), "r");
  if (!p)
    return -1;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
    if (output)
      output->append(buffer, n);
  int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool haveProgram(const char *name) {
  return run(std::string("command -v ") + name + " >/dev/null 2>&1") == 0;
}

/// A loopback port nobody listens on at the moment of asking.
inline int freePort() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(s);
  return port;
}

inline bool accepts(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

/// The file server serving `folder` as the share "share" to guests, with the
/// modules that serve Mac clients, on a free loopback port, until destroyed.
class FileServer {
public:
  FileServer(const std::string &folder, const std::string &state) : state_(state) {
    if (!haveProgram("smbd") || !haveProgram("smbclient")) {
      why_ = "smbd or smbclient is not installed";
      return;
    }
    if (::geteuid() != 0) {
      why_ = "the file server's guest account needs root here";
      return;
    }
    port_ = freePort();
    ::mkdir((state + "/ncalrpc").c_str(), 0755);
    const std::string conf = state + "/smb.conf";
    std::ofstream(conf) << ("[global]\n"
                    "  server role = standalone server\n"
                    "  interfaces = lo\n"
                    "  bind interfaces only = yes\n"
                    "  smb ports = " + std::to_string(port_) + "\n"
                    "  map to guest = Bad User\n"
                    "  guest account = root\n"
                    "  private dir = " + state + "\n"
                    "  lock directory = " + state + "\n"
                    "  state directory = " + state + "\n"
                    "  cache directory = " + state + "\n"
                    "  pid directory = " + state + "\n"
                    "  ncalrpc dir = " + state + "/ncalrpc\n"
                    "  log file = " + state + "/log.%m\n"
                    "  load printers = no\n"
                    "  disable spoolss = yes\n"
                    "  vfs objects = catia fruit streams_xattr\n"
                    "[share]\n"
                    "  path = " + folder + "\n"
                    "  read only = no\n"
                    "  guest ok = yes\n");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setsid();
      ::execlp("smbd", "smbd", "--foreground", "--no-process-group", "-s", conf.c_str(),
               static_cast<char *>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 200 && !accepts(port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!accepts(port_))
      why_ = "the file server did not start (see " + state + "/log.smbd)";
  }
  ~FileServer() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGTERM);
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  FileServer(const FileServer &) = delete;
  FileServer &operator=(const FileServer &) = delete;

  /// Empty when the server runs; else why it does not.
  const std::string &unavailable() const { return why_; }

  /// Runs client commands (`;`-separated) on the share: 0 when all worked.
  int client(const std::string &commands, std::string *output = nullptr) const {
    return run("smbclient -p " + std::to_string(port_) + " -N //127.0.0.1/share -c '" + commands +
                   "' 2>&1",
               output);
  }
  /// A stream of `file` as the server serves it ("AFP_AfpInfo",
  /// "AFP_Resource"); false when it has none.
  bool getStream(const std::string &file, const std::string &stream, std::string &bytes) const {
    const std::string out = state_ + "/stream.out";
    ::unlink(out.c_str());
    if (client("get \"" + file + ":" + stream + "\" \"" + out + "\"") != 0)
      return false;
    struct stat st;
    if (::stat(out.c_str(), &st) != 0)
      return false;
    bytes = readFile(out);
    return true;
  }
  bool putStream(const std::string &file, const std::string &stream, const std::string &bytes) const {
    const std::string in = state_ + "/stream.in";
    writeFile(in, bytes);
    return client("put \"" + in + "\" \"" + file + ":" + stream + "\"") == 0;
  }

private:
  std::string state_;
  std::string why_;
  int port_ = -1;
  pid_t pid_ = -1;
};

/// `source` seen through a FUSE mount at `mountPoint` that refuses user
/// extended attributes, as FAT and some network mounts do; unmounted when
/// destroyed.
class NoAttributesMount {
public:
  NoAttributesMount(const std::string &source, const std::string &mountPoint)
      : mountPoint_(mountPoint) {
    if (!haveProgram("bindfs")) {
      why_ = "bindfs is not installed";
      return;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
      why_ = "no /dev/fuse here";
      return;
    }
    if (run("bindfs --no-allow-other --xattr-none '" + source + "' '" + mountPoint + "' 2>&1") != 0) {
      why_ = "bindfs could not mount";
      return;
    }
    mounted_ = true;
  }
  ~NoAttributesMount() {
    if (mounted_)
      run("fusermount -u '" + mountPoint_ + "' 2>/dev/null || umount -l '" + mountPoint_ + "'");
  }
  NoAttributesMount(const NoAttributesMount &) = delete;
  NoAttributesMount &operator=(const NoAttributesMount &) = delete;

  const std::string &unavailable() const { return why_; }

private:
  std::string mountPoint_;
  std::string why_;
  bool mounted_ = false;
};

/// A MacBinary II file of `name` with the given forks, type, creator and
/// Finder flags: the simplest archive the archiver takes a resource fork from.
inline std::string macBinary(const std::string &name, const std::string &data,
                             const std::string &resource, const char type[4],
                             const char creator[4], uint16_t finderFlags) {
  auto be32 = [](std::string &s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
      s[at + i] = char(v >> (24 - 8 * i));
  };
  std::string h(128, '\0');
  h[1] = char(name.size());
  h.replace(2, name.size(), name);
  h.replace(65, 4, type, 4);
  h.replace(69, 4, creator, 4);
  h[73] = char(finderFlags >> 8);
  h[101] = char(finderFlags & 0xFF);
  be32(h, 83, uint32_t(data.size()));
  be32(h, 87, uint32_t(resource.size()));
  h[122] = h[123] = char(129);
  uint16_t crc = 0; // CRC-16/XMODEM of the first 124 bytes
  for (int i = 0; i < 124; ++i) {
    crc ^= uint16_t(uint8_t(h[i]) << 8);
    for (int b = 0; b < 8; ++b)
      crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  h[124] = char(crc >> 8);
  h[125] = char(crc);
  auto padded = [](std::string s) { return s.append((128 - s.size() % 128) % 128, '\0'); };
  return h + padded(data) + padded(resource);
}

/// A fresh folder on each kind of place the layer keeps Mac metadata on:
/// "/tmp" (ext4), "/dev/shm" (tmpfs), and "no attributes" (a folder of /tmp
/// seen through bindfs --xattr-none; skipped where it cannot be mounted).
class OnEachPlace : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    if (GetParam() == "no attributes") {
      source_ = std::make_unique<TempDir>("/tmp");
      point_ = std::make_unique<TempDir>("/tmp");
      mount_ = std::make_unique<NoAttributesMount>(source_->path(), point_->path());
      if (!mount_->unavailable().empty())
        GTEST_SKIP() << mount_->unavailable();
      dir_ = point_->path();
    } else {
      temp_ = std::make_unique<TempDir>(GetParam());
      dir_ = temp_->path();
    }
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(refFor(dir_, root_), noErr);
  }
  bool hasAttributes() const { return GetParam() != "no attributes"; }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  // Destroyed in reverse: the mount goes before the folders it shows.
  std::unique_ptr<TempDir> source_, point_;
  std::unique_ptr<NoAttributesMount> mount_;
  std::unique_ptr<TempDir> temp_;
  std::string dir_;
  FSRef root_{};
};

} // namespace fmtest

#endif
