// FSPathMakeRef on arbitrary bytes, run from inside a small folder tree the
// target makes under /dev/shm: files, hard links, symbolic links (up, to
// itself, in a loop, dangling, to the root), names that are not UTF-8 or hold
// ':', a FIFO, and a chain of folders deeper than PATH_MAX with a link to its
// bottom.  The calls made on the input only read.
//
// Input: a count byte, a prefix, then optionally byte 0x01, a unit repeated
// as many times as the count byte says, plus one (so short inputs make long
// paths), and byte 0x01 and a suffix.  The path is all that up to its first
// NUL, as the C string the call takes.
//
// A path gives a status, or a reference whose path (FSRefMakePath) leads back
// to the same reference; inside the tree, where nothing else changes
// anything, it gives a reference exactly when stat(2) finds an object there,
// and that object.
#include "tests/fuzz/FuzzSupport.h"

#include <CoreServices/CoreServices.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kMaxPath = 64 * 1024;
constexpr int kDeepLevels = 24; // 24 names of 200 bytes: past PATH_MAX
const std::string kDeepName(200, 'd');

std::string gTree; // the tree's absolute path
int gTreeFd = -1, gStartFd = -1; // the tree, and the folder the run started in

/// The tree is the current directory while an input runs; between inputs
/// the run's own folder is, for libFuzzer's relative paths.
struct InsideTree {
  InsideTree() {
    if (::fchdir(gTreeFd) != 0)
      std::abort();
  }
  ~InsideTree() {
    if (::fchdir(gStartFd) != 0)
      std::abort();
  }
};

bool makeTree() {
  gTree = fuzz::scratchFolder("path");
  if (gTree.empty())
    return false;
  gStartFd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  gTreeFd = ::open(gTree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (gStartFd < 0 || gTreeFd < 0)
    return false;
  InsideTree inside;
  auto file = [](const char *name) { ::close(::open(name, O_CREAT | O_WRONLY, 0644)); };
  file("file");
  ::link("file", "twin");
  ::mkdir("folder", 0755);
  ::mkdir("folder/inner", 0755);
  file("folder/inner/leaf");
  ::symlink("..", "folder/up");
  ::symlink(".", "folder/self");
  ::symlink("loop-b", "loop-a");
  ::symlink("loop-a", "loop-b");
  ::symlink("missing", "dangling");
  ::symlink("/", "root");
  file("caf\xC3\xA9");        // é composed
  file("cafe\xCC\x81");       // é decomposed, a name of its own on disk
  file("not-utf8-\xFF\xFE");
  file("a:b");
  ::mkfifo("fifo", 0644);
  // The deep chain, made from folder descriptors (its paths are too long).
  // A link cannot hold PATH_MAX bytes either: "deep-bottom" leads halfway
  // down, to a link "down" that leads the rest of the way.
  std::string link = "deep";
  int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::mkdirat(fd, "deep", 0755);
  int next = ::openat(fd, "deep", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::close(fd);
  fd = next;
  int half = -1;
  for (int i = 0; i < kDeepLevels && fd >= 0; ++i) {
    if (i == kDeepLevels / 2) {
      half = ::dup(fd);
      ::symlink((link + "/down").c_str(), "deep-bottom");
      link.clear();
    }
    ::mkdirat(fd, kDeepName.c_str(), 0755);
    next = ::openat(fd, kDeepName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
    link += (link.empty() ? "" : "/") + kDeepName;
  }
  if (fd >= 0) {
    ::close(::openat(fd, "bottom", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    ::close(fd);
  }
  if (half >= 0) {
    ::symlinkat(link.c_str(), half, "down");
    ::close(half);
  }
  return true;
}

/// The input as a path, as described at the top.
std::string pathOf(const uint8_t *data, size_t size) {
  if (size == 0)
    return {};
  const size_t repeat = size_t(data[0]) + 1;
  std::string body(reinterpret_cast<const char *>(data + 1), size - 1);
  const size_t mark = body.find('\x01');
  if (mark == std::string::npos)
    return body;
  std::string path = body.substr(0, mark);
  const size_t end = body.find('\x01', mark + 1);
  const std::string unit = body.substr(mark + 1, end == std::string::npos ? end : end - mark - 1);
  for (size_t i = 0; i < repeat && !unit.empty() && path.size() + unit.size() <= kMaxPath; ++i)
    path += unit;
  if (end != std::string::npos)
    path += body.substr(end + 1);
  return path;
}

bool insideTree(const std::string &path) {
  return path.compare(0, gTree.size(), gTree) == 0 &&
         (path.size() == gTree.size() || path[gTree.size()] == '/');
}

/// Where a path of at most PATH_MAX bytes leads, inside the tree; false for
/// any other path, whose objects other processes may change meanwhile.
bool resolvesInsideTree(const char *path, struct stat &st, bool &exists) {
  if (std::strlen(path) >= PATH_MAX)
    return false;
  char resolved[PATH_MAX];
  if (::realpath(path, resolved)) {
    exists = ::stat(path, &st) == 0;
    return insideTree(resolved) && exists;
  }
  // Not there (or a loop): the folder it would be in decides.
  if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR)
    return false;
  exists = false;
  std::string parent = path;
  const size_t slash = parent.find_last_of('/');
  parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
  return ::realpath(parent.c_str(), resolved) && insideTree(resolved);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  if (!makeTree())
    std::abort();
  // A crash found inside the tree is written where it would be without it,
  // unless the command line says where.
  static std::vector<char *> args(*argv, *argv + *argc);
  static std::string prefix = "-artifact_prefix=";
  const bool given = std::any_of(args.begin(), args.end(), [](const char *a) {
    return std::strncmp(a, prefix.c_str(), prefix.size()) == 0;
  });
  char start[PATH_MAX];
  if (!given && ::getcwd(start, sizeof start)) {
    prefix += start;
    prefix += '/';
    args.push_back(prefix.data());
  }
  *argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  InsideTree inside;
  const std::string input = pathOf(data, size);
  const char *path = input.c_str(); // up to its first NUL, as the call sees it
  FSRef ref;
  Boolean isDirectory = 2;
  const OSStatus status =
      FSPathMakeRef(reinterpret_cast<const UInt8 *>(path), &ref, &isDirectory);
  fuzz::check(status <= 0, "a status or a reference");

  struct stat st;
  bool exists = false;
  const bool stable = resolvesInsideTree(path, st, exists);
  if (stable)
    fuzz::check((status == noErr) == exists, "a reference exactly where stat finds an object");
  if (status != noErr)
    return 0;
  fuzz::check(isDirectory == TRUE || isDirectory == FALSE, "folder or not");

  static std::vector<UInt8> buffer(kMaxPath + PATH_MAX);
  const OSStatus made = FSRefMakePath(&ref, buffer.data(), static_cast<UInt32>(buffer.size()));
  const std::string back(reinterpret_cast<const char *>(buffer.data()));
  if (!stable && !insideTree(back))
    return 0; // outside the tree an object may go between two calls
  fuzz::check(made == noErr, "a reference has a path");
  fuzz::check(!back.empty() && back[0] == '/', "an absolute path");
  fuzz::check(insideTree(back) || !stable, "an object of the tree has a path inside it");

  // The path leads back to the same reference.
  FSRef again;
  Boolean againIsDirectory = 2;
  fuzz::check(FSPathMakeRef(buffer.data(), &again, &againIsDirectory) == noErr,
              "the path made resolves");
  fuzz::check(FSCompareFSRefs(&ref, &again) == noErr, "to the same reference");
  fuzz::check(againIsDirectory == isDirectory, "and the same kind of object");

  // A buffer one byte short gets nothing past its end.
  std::vector<UInt8> tight(back.size());
  fuzz::check(FSRefMakePath(&ref, tight.data(), static_cast<UInt32>(tight.size())) ==
                  errFSNameTooLong,
              "a path that does not fit is refused");

  if (stable) {
    fuzz::check(bool(isDirectory) == S_ISDIR(st.st_mode), "a folder exactly where stat says");
    struct stat there;
    if (back.size() < PATH_MAX) {
      fuzz::check(::stat(back.c_str(), &there) == 0 && there.st_ino == st.st_ino &&
                      there.st_dev == st.st_dev,
                  "the path made names the object stat found");
    }
  }
  return 0;
}
