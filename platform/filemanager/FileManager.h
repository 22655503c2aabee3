// The File Manager as one object.  Every free function of <CoreServices/Files.h>
// forwards, unchanged, to the object that current() gives; by default that is
// the POSIX implementation.  Tests put decorators in front of it for a scope
// (testing/FileManagerTesting.h), so they see exactly the calls that a caller
// makes.  The calls are listed once, in FileManagerCalls.def.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_FILEMANAGER_H
#define QUILLMATE_PLATFORM_FILEMANAGER_FILEMANAGER_H

#include <CoreServices/Files.h>

namespace quillmate::fm {

class FileManager {
public:
  virtual ~FileManager() = default;

  // One pure virtual per call of the platform, each named in the table.
#define QM_FM_CALL(Name, method, Result, Params, Args, ...) virtual Result method Params = 0;
#include "platform/filemanager/FileManagerCalls.def"
};

/// The object the free functions forward to.
FileManager &current();
/// The POSIX implementation (never destroyed).
FileManager &posixFileManager();

/// Makes `fm` current for the lifetime of this object, then restores the one
/// before.  Scopes must nest.
class ScopedFileManager {
public:
  explicit ScopedFileManager(FileManager &fm);
  ~ScopedFileManager();
  ScopedFileManager(const ScopedFileManager &) = delete;
  ScopedFileManager &operator=(const ScopedFileManager &) = delete;

  FileManager &previous() const { return *previous_; }

private:
  FileManager *previous_;
};

} // namespace quillmate::fm

#endif
