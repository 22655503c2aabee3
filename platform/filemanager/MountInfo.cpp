#include "platform/filemanager/MountInfo.h"

#include "platform/filemanager/PosixFileManager.h"
#include "platform/filemanager/Syscalls.h"

#include <array>
#include <charconv>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace quillmate::fm::mountinfo {
namespace {

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// The next blank-separated field of `line` from `at`; empty at the end.
std::string_view nextField(std::string_view line, size_t &at) {
  while (at < line.size() && line[at] == ' ')
    ++at;
  size_t start = at;
  while (at < line.size() && line[at] != ' ')
    ++at;
  return line.substr(start, at - start);
}

template <class T> bool number(std::string_view s, T &out) {
  if (s.empty())
    return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

bool under(const std::string &point, std::string_view top) {
  return point.size() >= top.size() && point.compare(0, top.size(), top) == 0 &&
         (point.size() == top.size() || point[top.size()] == '/');
}

// File systems without user files: the kernel's windows on itself.
constexpr std::array<std::string_view, 21> kPseudoTypes = {
    "proc",       "sysfs",     "cgroup",    "cgroup2",    "devpts",      "mqueue",
    "devtmpfs",   "debugfs",   "tracefs",   "securityfs", "pstore",      "bpf",
    "configfs",   "fusectl",   "autofs",    "binfmt_misc", "efivarfs",   "nsfs",
    "rpc_pipefs", "selinuxfs", "hugetlbfs"};

} // namespace

bool Mount::readOnly() const {
  return hasOption(mountOptions, "ro") || hasOption(superOptions, "ro");
}

std::string unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
        isOctal(field[i + 2]) && isOctal(field[i + 3])) {
      out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

bool parseLine(std::string_view line, Mount &out) {
  size_t at = 0;
  std::string_view id = nextField(line, at), parent = nextField(line, at),
                   device = nextField(line, at), root = nextField(line, at),
                   point = nextField(line, at), options = nextField(line, at);
  size_t colon = device.find(':');
  if (colon == std::string_view::npos || !number(id, out.id) || !number(parent, out.parent) ||
      !number(device.substr(0, colon), out.major) ||
      !number(device.substr(colon + 1), out.minor) || root.empty() || point.empty() ||
      point[0] != '/' || options.empty())
    return false;
  // Optional fields (shared:N, master:N, ...) end with a lone "-".
  for (;;) {
    std::string_view f = nextField(line, at);
    if (f.empty())
      return false;
    if (f == "-")
      break;
  }
  std::string_view type = nextField(line, at), source = nextField(line, at),
                   super = nextField(line, at);
  if (type.empty() || source.empty())
    return false;
  out.root = unescape(root);
  out.point = unescape(point);
  out.mountOptions = std::string(options);
  out.type = unescape(type);
  out.source = unescape(source);
  out.superOptions = std::string(super);
  return true;
}

std::vector<Mount> parse(std::string_view text) {
  std::vector<Mount> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
      end = text.size();
    Mount m;
    if (parseLine(text.substr(start, end - start), m))
      out.push_back(std::move(m));
    start = end + 1;
  }
  return out;
}

namespace {

// The table, parsed once and read again only when the kernel says it
// changed: a descriptor of /proc/self/mountinfo reports POLLPRI after any
// mount or unmount in its namespace.  The descriptor names the process and
// namespace it was opened in, so a child after fork, or a process that
// entered another namespace, opens its own.
struct TableCache {
  std::mutex mutex;
  sys::Fd fd;
  pid_t pid = 0;
  std::string ns;
  std::vector<Mount> mounts;
};

TableCache &tableCache() {
  static auto *cache = new TableCache; // never destroyed: used until exit
  return *cache;
}

std::string mountNamespace() {
  char link[64];
  ssize_t n = sys::readLink(AT_FDCWD, "/proc/self/ns/mnt", link, sizeof link);
  return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

bool readText(int fd, std::string &text) {
  // The kernel builds the text as it is read: read it to the end at once.
  if (sys::seek(fd, 0, SEEK_SET) < 0)
    return false;
  char buffer[16384];
  for (;;) {
    ssize_t n = sys::read(fd, buffer, sizeof buffer);
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    text.append(buffer, static_cast<size_t>(n));
  }
}

template <class F> bool withTable(F &&use) {
  TableCache &c = tableCache();
  std::lock_guard<std::mutex> lock(c.mutex);
  const pid_t pid = ::getpid();
  const std::string ns = mountNamespace();
  const bool same = c.fd.valid() && c.pid == pid && !ns.empty() && c.ns == ns;
  if (!same || sys::pollPriority(c.fd.get()) != 0) {
    if (!same) {
      c.fd.reset(sys::openAt(AT_FDCWD, "/proc/self/mountinfo", O_RDONLY));
      c.pid = pid;
      c.ns = ns;
    }
    std::string text;
    if (!c.fd.valid() || !readText(c.fd.get(), text)) {
      c.fd.reset();
      return false;
    }
    c.mounts = parse(text);
  }
  use(c.mounts);
  return true;
}

} // namespace

bool read(std::vector<Mount> &out) {
  return withTable([&](const std::vector<Mount> &mounts) { out = mounts; });
}

bool find(uint64_t id, Mount &out) {
  bool found = false;
  bool read = withTable([&](const std::vector<Mount> &mounts) {
    for (const Mount &m : mounts)
      if (m.id == id) {
        out = m;
        found = true;
        return;
      }
  });
  return read && found;
}

bool pointOf(uint64_t id, std::string &out) {
  Mount m;
  if (!find(id, m))
    return false;
  out = std::move(m.point);
  return true;
}

bool hasOption(std::string_view options, std::string_view option) {
  size_t start = 0;
  while (start <= options.size()) {
    size_t end = options.find(',', start);
    if (end == std::string_view::npos)
      end = options.size();
    if (options.substr(start, end - start) == option)
      return true;
    start = end + 1;
  }
  return false;
}

bool holdsUserFiles(const Mount &m) {
  for (std::string_view t : kPseudoTypes)
    if (m.type == t)
      return false;
  if (under(m.point, "/proc") || under(m.point, "/sys"))
    return false;
  if (under(m.point, "/dev") && !under(m.point, "/dev/shm"))
    return false;
  return true;
}

std::string volumeName(const std::string &point, int rootFd) {
  if (rootFd >= 0) {
    sys::Fd dir(sys::openAt(rootFd, ".", O_RDONLY | O_DIRECTORY));
    char label[256];
    if (dir.valid() && sys::fsLabel(dir.get(), label, sizeof label) == 0 && label[0])
      return label;
  }
  if (point == "/")
    return "Root";
  return point.substr(point.find_last_of('/') + 1);
}

bool isTop(const Mount &m, struct statx &stx) {
  return sys::statxAt(AT_FDCWD, m.point.c_str(), kIdentityMask, &stx) == 0 &&
         S_ISDIR(stx.stx_mode) && stx.stx_mnt_id == m.id;
}

OSErr volumeOf(const Mount &m, Volume *&volume) {
  struct statx stx;
  if (!isTop(m, stx))
    return nsvErr;
  NodeTable &table = NodeTable::shared();
  uint32_t root;
  if (OSErr err = table.volumeRootFor(stx, root))
    return err;
  volume = table.volume(table.node(root).volume);
  if (!volume)
    return nsvErr;
  return noErr;
}

OSErr byRefNum(FSVolumeRefNum refNum, Mount &mount, Volume *&volume) {
  if (refNum == 0 && (refNum = detail::defaultVolume()) == 0)
    return nsvErr;
  volume = NodeTable::shared().volume(refNum);
  if (!volume || !find(volume->mountID, mount))
    return nsvErr;
  return noErr;
}

} // namespace quillmate::fm::mountinfo
