// A `._` file of arbitrary bytes beside an object: its header is parsed with
// every bound checked, and what the layer then reads of it stays inside the
// file.  Never a crash, never an allocation the input sizes.
#include "platform/filemanager/DoubleHeader.h"
#include "platform/filemanager/Sidecar.h"

#include "tests/fuzz/FuzzSupport.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace dbl = quillmate::fm::dbl;
namespace sidecar = quillmate::fm::sidecar;
namespace sys = quillmate::fm::sys;

namespace {

int folder() {
  static int fd = [] {
    const std::string dir = fuzz::scratchFolder("sidecar");
    int d = dir.empty() ? -1 : ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (d >= 0)
      ::close(::openat(d, "doc", O_CREAT | O_WRONLY, 0644));
    return d;
  }();
  return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The header alone, with the file as long as the input and longer.
  for (uint64_t fileSize : {uint64_t(size), uint64_t(size) + 4096}) {
    dbl::Header h;
    if (dbl::Header::parse(data, size, fileSize, h) != dbl::Damage::None)
      continue;
    fuzz::check(h.count <= dbl::kMaxEntries, "count bounded");
    for (size_t i = 0; i < h.count; ++i)
      fuzz::check(h.entries[i].end() <= fileSize, "entry inside the file");
    fuzz::check(h.end() <= fileSize, "header's end inside the file");
  }
  UInt8 fi[dbl::kFinderInfoSize] = {1};
  std::vector<UInt8> value = dbl::netatalkWithFinderInfo(data, size, fi, dbl::FileDates{});
  fuzz::check(value.size() == size || value.size() == dbl::kNetatalkSize, "attribute size");
  UInt8 back[dbl::kFinderInfoSize];
  fuzz::check(dbl::netatalkFinderInfo(value.data(), value.size(), back) && back[0] == 1,
              "the Finder information written reads back");

  // The same bytes as the `._` file of an object.
  const int dir = folder();
  if (dir < 0)
    return 0;
  sys::Fd out(::openat(dir, "._doc", O_CREAT | O_TRUNC | O_WRONLY, 0644));
  if (!out.valid() || ::write(out.get(), data, size) != ssize_t(size))
    return 0;
  struct statx object;
  if (sys::statxAt(dir, "doc", STATX_INO | STATX_BTIME | STATX_MODE | STATX_TYPE, &object) != 0)
    return 0;
  sidecar::File f;
  sidecar::Found found;
  if (sidecar::open(dir, "doc", object, O_RDWR, f, found) != noErr ||
      found != sidecar::Found::Attached)
    return 0;
  sidecar::readFinderInfo(f, back);
  uint64_t length = 0;
  if (const dbl::Entry *fork = f.fork(); fork && f.currentForkLength(length) == noErr) {
    fuzz::check(fork->end() <= f.size, "fork inside the file");
    if (sidecar::lock(f) == noErr) {
      if (sidecar::relayout(dir, "doc", object, f) == noErr && sidecar::setForkLength(f, length + 3) == noErr) {
        sidecar::File again;
        fuzz::check(sidecar::open(dir, "doc", object, O_RDONLY, again, found) == noErr &&
                        found == sidecar::Found::Attached && again.fork() &&
                        again.fork()->length == length + 3,
                    "a grown fork reads back whole");
        fuzz::check(sidecar::writeFork(f, length + 5, "ab", 2) == noErr &&
                        sidecar::reread(f) == noErr && f.fork() &&
                        f.fork()->length == length + 7 && f.fork()->end() <= f.size,
                    "a write past the end grows the fork to hold it");
      }
      sidecar::unlock(f);
    }
  }
  return 0;
}
