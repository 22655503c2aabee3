// Volume mount records, as PBGetVolMountInfo gives them and PBVolumeMount
// takes them: decoded, checked and encoded here without a system call, so the
// decoder can be tried on any bytes on its own (tests/fuzz).
//
// A record holds what mount(2) needs to mount the file system again.  All
// integers are in the machine's byte order, without padding:
//
//   field      at   size  value
//   length     0    2     SInt16, bytes of the whole record
//   media      2    4     'qmnt'
//   flags      6    2     0 (any other value is refused)
//   version    8    2     1
//   reserved   10   2     0
//   strings    12   16    four (offset UInt16, length UInt16) pairs, in this
//                         order: source, file-system type, options, mount point
//   text       28   ...   the four strings, UTF-8, each followed by a NUL
//
// A string's length excludes its NUL; it holds no NUL itself and lies, NUL
// included, inside the record after the fixed part.  The type and the mount
// point are not empty and the point is an absolute path.  Options are
// comma-separated words as mount(8) takes them: ro/rw, nosuid, noexec, ...
// become mount(2)'s flags, the rest goes to the file system as its data.
// Any record that breaks one of these rules is refused with paramErr before
// anything is mounted.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_MOUNTRECORD_H
#define QUILLMATE_PLATFORM_FILEMANAGER_MOUNTRECORD_H

#include <CoreServices/Files.h>

#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/mount.h>

namespace quillmate::fm::mountrecord {

constexpr OSType kMedia = 0x716d6e74; // 'qmnt'
constexpr UInt16 kVersion = 1;
constexpr size_t kFixedSize = 28;
constexpr size_t kFieldTable = 12;
constexpr size_t kMaxRecord = 0x7FFF;

enum Field { kSource, kType, kOptions, kPoint, kFieldCount };

/// The four strings of a record.
struct Record {
  std::array<std::string, kFieldCount> field;
};

template <class T> void put(unsigned char *at, T v) { std::memcpy(at, &v, sizeof v); }
template <class T> T get(const unsigned char *at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

/// The record at `p`, which holds at least 2 bytes and, when its length
/// field says more, that many; paramErr for any record that breaks the rules
/// above.  Nothing past the record's length is read.
inline OSErr parse(const unsigned char *p, Record &out) {
  const SInt16 length = get<SInt16>(p);
  if (length < static_cast<SInt16>(kFixedSize))
    return paramErr;
  // The header comes first, then the field table, each checked before use.
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

/// `r` laid out as a record in `out`, its strings one after the other;
/// paramErr when it would not fit the 16-bit length.
inline OSErr write(const Record &r, std::string &out) {
  size_t size = kFixedSize;
  for (const std::string &f : r.field)
    size += f.size() + 1;
  if (size > kMaxRecord)
    return paramErr;
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
    put<UInt16>(p + kFieldTable + 4 * i + 2, static_cast<UInt16>(r.field[i].size()));
    std::memcpy(p + at, r.field[i].data(), r.field[i].size());
    at += r.field[i].size() + 1;
  }
  return noErr;
}

/// An option word that is a flag of mount(2) rather than the file system's.
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

inline const MountFlag *flagWord(std::string_view word) {
  for (const MountFlag &f : kMountFlags)
    if (f.word == word)
      return &f;
  return nullptr;
}

/// Calls `f` with each non-empty comma-separated word of `options`.
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

/// mount(2)'s flags and data for a record's options: the flag words in
/// order, a later one undoing an earlier; the other words, comma-separated.
inline void mountArguments(std::string_view options, unsigned long &flags, std::string &data) {
  flags = 0;
  data.clear();
  eachWord(options, [&](std::string_view word) {
    if (const MountFlag *f = flagWord(word)) {
      flags = (flags | f->set) & ~f->clear;
    } else {
      if (!data.empty())
        data += ',';
      data += word;
    }
  });
}

} // namespace quillmate::fm::mountrecord

#endif
