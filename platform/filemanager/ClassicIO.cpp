// FSWrite and FSRead: the classic calls on fork reference numbers.  They move
// the fork's mark, which is the descriptor's own file offset.
#include <CoreServices/Files.h>

#include "platform/filemanager/ForkTable.h"

#include <cerrno>
#include <unistd.h>

using quillmate::fm::ForkEntry;
using quillmate::fm::ForkTable;

namespace {

OSErr statusForErrno(int e) {
  switch (e) {
  case ENOSPC:
  case EDQUOT:
    return dskFulErr;
  case EBADF:
    return wrPermErr;
  case EROFS:
    return wPrErr;
  case EFBIG:
    return dskFulErr;
  default:
    return ioErr;
  }
}

} // namespace

extern "C" {

OSErr FSWrite(FSIORefNum refNum, SInt32 *count, const void *buffPtr) {
  if (!count || *count < 0)
    return paramErr;
  return ForkTable::shared().with(refNum, [&](ForkEntry &fork) -> OSErr {
    const char *p = static_cast<const char *>(buffPtr);
    SInt32 done = 0;
    while (done < *count) {
      ssize_t n = ::write(fork.fd, p + done, static_cast<size_t>(*count - done));
      if (n < 0) {
        if (errno == EINTR)
          continue;
        *count = done;
        return statusForErrno(errno);
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
  return ForkTable::shared().with(refNum, [&](ForkEntry &fork) -> OSErr {
    char *p = static_cast<char *>(buffPtr);
    SInt32 done = 0;
    while (done < *count) {
      ssize_t n = ::read(fork.fd, p + done, static_cast<size_t>(*count - done));
      if (n < 0) {
        if (errno == EINTR)
          continue;
        *count = done;
        return errno == EBADF ? permErr : ioErr;
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
