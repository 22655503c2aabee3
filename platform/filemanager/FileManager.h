// The File Manager as one object.  Every free function of <CoreServices/Files.h>
// forwards, unchanged, to the object that current() gives; by default that is
// the POSIX implementation.  Tests put decorators in front of it for a scope
// (FileManagerTesting.h), so they see exactly the calls that a caller makes.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_FILEMANAGER_H
#define QUILLMATE_PLATFORM_FILEMANAGER_FILEMANAGER_H

#include <CoreServices/Files.h>

namespace quillmate::fm {

class FileManager {
public:
  virtual ~FileManager() = default;

  virtual OSErr getCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                               FSCatalogInfo *info, HFSUniStr255 *outName,
                               FSSpec *spec, FSRef *parentRef) = 0;
  virtual OSErr setCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                               const FSCatalogInfo *info) = 0;
  virtual OSErr makeFSRefUnicode(const FSRef *parentRef, UniCharCount nameLength,
                                 const UniChar *name, TextEncoding hint,
                                 FSRef *newRef) = 0;
  virtual OSErr makeFSRefUnicodePB(FSRefParam *pb) = 0;
  virtual OSErr makeFSRefPB(FSRefParam *pb) = 0;
  virtual OSStatus pathMakeRef(const UInt8 *path, FSRef *ref,
                               Boolean *isDirectory) = 0;
  virtual OSStatus refMakePath(const FSRef *ref, UInt8 *path,
                               UInt32 size) = 0;
  virtual OSErr compareFSRefs(const FSRef *a, const FSRef *b) = 0;

  virtual OSErr createFileUnicode(const FSRef *parentRef, UniCharCount nameLength,
                                  const UniChar *name, FSCatalogInfoBitmap whichInfo,
                                  const FSCatalogInfo *info, FSRef *newRef,
                                  FSSpec *newSpec) = 0;
  virtual OSErr createDirectoryUnicode(const FSRef *parentRef,
                                       UniCharCount nameLength, const UniChar *name,
                                       FSCatalogInfoBitmap whichInfo,
                                       const FSCatalogInfo *info, FSRef *newRef,
                                       FSSpec *newSpec, UInt32 *newDirID) = 0;
  virtual OSErr deleteObject(const FSRef *ref) = 0;
  virtual OSErr moveObject(const FSRef *ref, const FSRef *destDirectory,
                           FSRef *newRef) = 0;
  virtual OSErr exchangeObjects(const FSRef *ref, const FSRef *destRef) = 0;
  virtual OSErr renameUnicode(const FSRef *ref, UniCharCount nameLength,
                              const UniChar *name, TextEncoding hint,
                              FSRef *newRef) = 0;

  virtual OSErr openIterator(const FSRef *container, FSIteratorFlags flags,
                             FSIterator *iterator) = 0;
  virtual OSErr closeIterator(FSIterator iterator) = 0;
  virtual OSErr getCatalogInfoBulk(FSIterator iterator, ItemCount maximumObjects,
                                   ItemCount *actualObjects,
                                   Boolean *containerChanged,
                                   FSCatalogInfoBitmap whichInfo,
                                   FSCatalogInfo *infos, FSRef *refs,
                                   FSSpec *specs, HFSUniStr255 *names) = 0;

  virtual OSErr openFork(const FSRef *ref, UniCharCount forkNameLength,
                         const UniChar *forkName, SInt8 permissions,
                         FSIORefNum *forkRefNum) = 0;
  virtual OSErr closeFork(FSIORefNum forkRefNum) = 0;
  virtual OSErr readFork(FSIORefNum forkRefNum, UInt16 positionMode,
                         SInt64 positionOffset, ByteCount requestCount,
                         void *buffer, ByteCount *actualCount) = 0;
  virtual OSErr writeFork(FSIORefNum forkRefNum, UInt16 positionMode,
                          SInt64 positionOffset, ByteCount requestCount,
                          const void *buffer, ByteCount *actualCount) = 0;
  virtual OSErr getForkSize(FSIORefNum forkRefNum, SInt64 *forkSize) = 0;
  virtual OSErr setForkSize(FSIORefNum forkRefNum, UInt16 positionMode,
                            SInt64 positionOffset) = 0;
  virtual OSErr getForkPosition(FSIORefNum forkRefNum, SInt64 *position) = 0;
  virtual OSErr setForkPosition(FSIORefNum forkRefNum, UInt16 positionMode,
                                SInt64 positionOffset) = 0;
  virtual OSErr getForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum volume,
                              SInt16 *iterator, FSIORefNum *actualRefNum,
                              FSForkInfo *forkInfo, FSRef *ref,
                              HFSUniStr255 *outForkName) = 0;
  virtual OSErr iterateForks(const FSRef *ref, CatPositionRec *forkIterator,
                             HFSUniStr255 *forkName, SInt64 *forkSize,
                             UInt64 *forkPhysicalSize) = 0;
  virtual OSErr lockRange(ParmBlkPtr pb) = 0;
  virtual OSErr unlockRange(ParmBlkPtr pb) = 0;

  virtual OSErr getVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex,
                              FSVolumeRefNum *actualVolume, FSVolumeInfoBitmap whichInfo,
                              FSVolumeInfo *info, HFSUniStr255 *volumeName,
                              FSRef *rootDirectory) = 0;
  virtual OSErr getVolParms(HParmBlkPtr pb) = 0;
  virtual OSErr getVolMountInfoSize(ParmBlkPtr pb) = 0;
  virtual OSErr getVolMountInfo(ParmBlkPtr pb) = 0;
  virtual OSErr volumeMount(ParmBlkPtr pb) = 0;
  virtual OSErr getVol(StringPtr volName, FSVolumeRefNum *vRefNum, SInt32 *dirID) = 0;
  virtual OSErr setVol(ConstStr63Param volName, FSVolumeRefNum vRefNum, SInt32 dirID) = 0;

  virtual OSErr createFileIDRef(HParmBlkPtr pb) = 0;
  virtual OSErr resolveFileIDRef(HParmBlkPtr pb) = 0;
  virtual OSErr mapID(HParmBlkPtr pb) = 0;
  virtual OSErr mapName(HParmBlkPtr pb) = 0;
  virtual OSErr getDirAccess(HParmBlkPtr pb) = 0;
  virtual OSErr setDirAccess(HParmBlkPtr pb) = 0;

  virtual OSErr copyFile(HParmBlkPtr pb) = 0;
  virtual OSErr moveRename(HParmBlkPtr pb) = 0;
  virtual OSStatus notify(const FSRef *ref, FNMessage message, OptionBits flags) = 0;
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
