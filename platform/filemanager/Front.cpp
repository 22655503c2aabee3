// The File Manager's free functions: each forwards to the current FileManager.
#include "platform/filemanager/FileManager.h"

#include <atomic>

namespace quillmate::fm {
namespace {
std::atomic<FileManager *> gCurrent{nullptr};
} // namespace

FileManager &current() {
  FileManager *fm = gCurrent.load(std::memory_order_acquire);
  return fm ? *fm : posixFileManager();
}

ScopedFileManager::ScopedFileManager(FileManager &fm) : previous_(&current()) {
  gCurrent.store(&fm, std::memory_order_release);
}

ScopedFileManager::~ScopedFileManager() {
  gCurrent.store(previous_, std::memory_order_release);
}

} // namespace quillmate::fm

using quillmate::fm::current;

extern "C" {

#define QM_FM_CALL(Name, method, Result, Params, Args, ...)                                     \
  Result Name Params { return current().method Args; }
#include "platform/filemanager/FileManagerCalls.def"

// The fork names are constants of the platform, not calls of a File Manager.
OSErr FSGetDataForkName(HFSUniStr255 *dataForkName) {
  if (!dataForkName)
    return paramErr;
  dataForkName->length = 0;
  return noErr;
}

OSErr FSGetResourceForkName(HFSUniStr255 *resourceForkName) {
  if (!resourceForkName)
    return paramErr;
  static const char kName[] = "RESOURCE_FORK";
  resourceForkName->length = sizeof kName - 1;
  for (size_t i = 0; i < sizeof kName - 1; ++i)
    resourceForkName->unicode[i] = static_cast<UniChar>(kName[i]);
  return noErr;
}

} // extern "C"
