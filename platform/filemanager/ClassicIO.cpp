// FSWrite and FSRead: the classic calls on fork reference numbers.  They move
// the fork's mark.  A data fork's mark is its descriptor's own file offset,
// so these calls and FSReadFork/FSWriteFork at fsAtMark share one mark.
#include <CoreServices/Files.h>

#include "platform/filemanager/FileManager.h"
#include "platform/filemanager/ForkTable.h"
#include "platform/filemanager/Syscalls.h"

#include <cerrno>

using quillmate::fm::ForkEntry;
using quillmate::fm::ForkTable;

namespace {

/// The status of a failed read or write of a data fork: the layer's table,
/// with EBADF (a descriptor not open for it) as a permission failure.
OSErr ioStatus(int e, bool write) {
  if (e == EBADF)
    return write ? wrPermErr : permErr;
  return quillmate::fm::sys::statusFor(e, quillmate::fm::sys::Context::Fork);
}

bool isResourceFork(FSIORefNum refNum) {
  bool resource = false;
  ForkTable::shared().with(refNum, [&](ForkEntry &fork) -> OSErr {
    resource = fork.resource;
    return noErr;
  });
  return resource;
}

/// A resource fork's mark is its own, not a descriptor's offset (its bytes
/// sit at an offset of its `._` file): they go through the fork calls.
OSErr resourceIO(bool write, FSIORefNum refNum, SInt32 *count, const void *in, void *out) {
  ByteCount done = 0;
  auto &fm = quillmate::fm::posixFileManager();
  OSErr err = write ? fm.writeFork(refNum, fsAtMark, 0, static_cast<ByteCount>(*count), in, &done)
                    : fm.readFork(refNum, fsAtMark, 0, static_cast<ByteCount>(*count), out, &done);
  *count = static_cast<SInt32>(done);
  return err;
}

} // namespace

extern "C" {

OSErr FSWrite(FSIORefNum refNum, SInt32 *count, const void *buffPtr) {
  if (!count || *count < 0)
    return paramErr;
  if (isResourceFork(refNum))
    return resourceIO(true, refNum, count, buffPtr, nullptr);
  return ForkTable::shared().with(refNum, [&](ForkEntry &fork) -> OSErr {
    if (!fork.canWrite) {
      *count = 0;
      return wrPermErr;
    }
    const char *p = static_cast<const char *>(buffPtr);
    SInt32 done = 0;
    while (done < *count) {
      ssize_t n = quillmate::fm::sys::write(fork.fd, p + done, static_cast<size_t>(*count - done));
      if (n < 0) {
        *count = done;
        return ioStatus(errno, true);
      }
      done += static_cast<SInt32>(n);
    }
    *count = done;
    return noErr;
  });
}

OSErr FSRead(FSIORefNum refNum, SInt32 *count, void *buffPtr) {
  if (!count || *count < 0)
    return paramErr;
  if (isResourceFork(refNum))
    return resourceIO(false, refNum, count, nullptr, buffPtr);
  return ForkTable::shared().with(refNum, [&](ForkEntry &fork) -> OSErr {
    char *p = static_cast<char *>(buffPtr);
    SInt32 done = 0;
    while (done < *count) {
      ssize_t n = quillmate::fm::sys::read(fork.fd, p + done, static_cast<size_t>(*count - done));
      if (n < 0) {
        *count = done;
        return ioStatus(errno, false);
      }
      if (n == 0) {
        *count = done;
        return eofErr;
      }
      done += static_cast<SInt32>(n);
    }
    *count = done;
    return noErr;
  });
}

} // extern "C"
