#include "tools/common/StandardOutput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quillmate::tools {

void holdStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // open() answers the lowest free descriptor, which is this one.
    int held = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (held >= 0 && held != fd)
      ::close(held);
  }
}

namespace {

void complain(const char *tool, int error) {
  if (error)
    std::fprintf(stderr, "%s: cannot write the output: %s\n", tool, std::strerror(error));
  else
    std::fprintf(stderr, "%s: cannot write the output\n", tool);
}

} // namespace

bool flushStandardOutput(const char *tool) {
  errno = 0;
  // The error flag stays set by a write that failed before the flush.
  if (std::fflush(stdout) == 0 && !std::ferror(stdout))
    return true;
  complain(tool, errno);
  return false;
}

int finishStandardOutput(const char *tool, int status) {
  bool written = flushStandardOutput(tool);
  errno = 0;
  if (std::fclose(stdout) != 0 && written) {
    complain(tool, errno);
    written = false;
  }
  return written || status != 0 ? status : 1;
}

} // namespace quillmate::tools
