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

OSErr FSGetCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                       FSCatalogInfo *catalogInfo, HFSUniStr255 *outName,
                       FSSpec *fsSpec, FSRef *parentRef) {
  return current().getCatalogInfo(ref, whichInfo, catalogInfo, outName, fsSpec,
                                   parentRef);
}

OSErr FSSetCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                       const FSCatalogInfo *catalogInfo) {
  return current().setCatalogInfo(ref, whichInfo, catalogInfo);
}

OSErr FSMakeFSRefUnicode(const FSRef *parentRef, UniCharCount nameLength,
                         const UniChar *name, TextEncoding textEncodingHint,
                         FSRef *newRef) {
  return current().makeFSRefUnicode(parentRef, nameLength, name,
                                    textEncodingHint, newRef);
}

OSErr PBMakeFSRefUnicodeSync(FSRefParam *paramBlock) {
  return current().makeFSRefUnicodePB(paramBlock);
}

OSErr PBMakeFSRefSync(FSRefParam *paramBlock) {
  return current().makeFSRefPB(paramBlock);
}

OSStatus FSPathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory) {
  return current().pathMakeRef(path, ref, isDirectory);
}

OSStatus FSRefMakePath(const FSRef *ref, UInt8 *path, UInt32 pathBufferSize) {
  return current().refMakePath(ref, path, pathBufferSize);
}

OSErr FSCompareFSRefs(const FSRef *ref1, const FSRef *ref2) {
  return current().compareFSRefs(ref1, ref2);
}

OSErr FSCreateFileUnicode(const FSRef *parentRef, UniCharCount nameLength,
                          const UniChar *name, FSCatalogInfoBitmap whichInfo,
                          const FSCatalogInfo *catalogInfo, FSRef *newRef,
                          FSSpec *newSpec) {
  return current().createFileUnicode(parentRef, nameLength, name, whichInfo,
                                     catalogInfo, newRef, newSpec);
}

OSErr FSCreateDirectoryUnicode(const FSRef *parentRef, UniCharCount nameLength,
                               const UniChar *name,
                               FSCatalogInfoBitmap whichInfo,
                               const FSCatalogInfo *catalogInfo, FSRef *newRef,
                               FSSpec *newSpec, UInt32 *newDirID) {
  return current().createDirectoryUnicode(parentRef, nameLength, name, whichInfo,
                                          catalogInfo, newRef, newSpec, newDirID);
}

OSErr FSDeleteObject(const FSRef *ref) { return current().deleteObject(ref); }

OSErr FSMoveObject(const FSRef *ref, const FSRef *destDirectory, FSRef *newRef) {
  return current().moveObject(ref, destDirectory, newRef);
}

OSErr FSExchangeObjects(const FSRef *ref, const FSRef *destRef) {
  return current().exchangeObjects(ref, destRef);
}

OSErr FSRenameUnicode(const FSRef *ref, UniCharCount nameLength,
                      const UniChar *name, TextEncoding textEncodingHint,
                      FSRef *newRef) {
  return current().renameUnicode(ref, nameLength, name, textEncodingHint, newRef);
}

OSErr FSOpenIterator(const FSRef *container, FSIteratorFlags iteratorFlags,
                     FSIterator *iterator) {
  return current().openIterator(container, iteratorFlags, iterator);
}

OSErr FSCloseIterator(FSIterator iterator) {
  return current().closeIterator(iterator);
}

OSErr FSGetCatalogInfoBulk(FSIterator iterator, ItemCount maximumObjects,
                           ItemCount *actualObjects, Boolean *containerChanged,
                           FSCatalogInfoBitmap whichInfo,
                           FSCatalogInfo *catalogInfos, FSRef *refs,
                           FSSpec *specs, HFSUniStr255 *names) {
  return current().getCatalogInfoBulk(iterator, maximumObjects, actualObjects,
                                      containerChanged, whichInfo, catalogInfos,
                                      refs, specs, names);
}

OSErr FSOpenFork(const FSRef *ref, UniCharCount forkNameLength, const UniChar *forkName,
                 SInt8 permissions, FSIORefNum *forkRefNum) {
  return current().openFork(ref, forkNameLength, forkName, permissions, forkRefNum);
}

OSErr FSCloseFork(FSIORefNum forkRefNum) { return current().closeFork(forkRefNum); }

OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 ByteCount requestCount, void *buffer, ByteCount *actualCount) {
  return current().readFork(forkRefNum, positionMode, positionOffset, requestCount, buffer,
                            actualCount);
}

OSErr FSWriteFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                  ByteCount requestCount, const void *buffer, ByteCount *actualCount) {
  return current().writeFork(forkRefNum, positionMode, positionOffset, requestCount, buffer,
                             actualCount);
}

OSErr FSGetForkSize(FSIORefNum forkRefNum, SInt64 *forkSize) {
  return current().getForkSize(forkRefNum, forkSize);
}

OSErr FSSetForkSize(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset) {
  return current().setForkSize(forkRefNum, positionMode, positionOffset);
}

OSErr FSGetForkPosition(FSIORefNum forkRefNum, SInt64 *position) {
  return current().getForkPosition(forkRefNum, position);
}

OSErr FSSetForkPosition(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset) {
  return current().setForkPosition(forkRefNum, positionMode, positionOffset);
}

OSErr FSGetForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum volume, SInt16 *iterator,
                      FSIORefNum *actualRefNum, FSForkInfo *forkInfo, FSRef *ref,
                      HFSUniStr255 *outForkName) {
  return current().getForkCBInfo(desiredRefNum, volume, iterator, actualRefNum, forkInfo, ref,
                                 outForkName);
}

OSErr FSIterateForks(const FSRef *ref, CatPositionRec *forkIterator, HFSUniStr255 *forkName,
                     SInt64 *forkSize, UInt64 *forkPhysicalSize) {
  return current().iterateForks(ref, forkIterator, forkName, forkSize, forkPhysicalSize);
}

OSErr PBLockRangeSync(ParmBlkPtr paramBlock) { return current().lockRange(paramBlock); }

OSErr PBUnlockRangeSync(ParmBlkPtr paramBlock) { return current().unlockRange(paramBlock); }

OSErr FSGetVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex,
                      FSVolumeRefNum *actualVolume, FSVolumeInfoBitmap whichInfo,
                      FSVolumeInfo *info, HFSUniStr255 *volumeName, FSRef *rootDirectory) {
  return current().getVolumeInfo(volume, volumeIndex, actualVolume, whichInfo, info,
                                 volumeName, rootDirectory);
}

OSErr PBHGetVolParmsSync(HParmBlkPtr paramBlock) { return current().getVolParms(paramBlock); }

OSErr PBGetVolMountInfoSize(ParmBlkPtr paramBlock) {
  return current().getVolMountInfoSize(paramBlock);
}

OSErr PBGetVolMountInfo(ParmBlkPtr paramBlock) { return current().getVolMountInfo(paramBlock); }

OSErr PBVolumeMount(ParmBlkPtr paramBlock) { return current().volumeMount(paramBlock); }

OSErr HGetVol(StringPtr volName, FSVolumeRefNum *vRefNum, SInt32 *dirID) {
  return current().getVol(volName, vRefNum, dirID);
}

OSErr HSetVol(ConstStr63Param volName, FSVolumeRefNum vRefNum, SInt32 dirID) {
  return current().setVol(volName, vRefNum, dirID);
}

OSErr PBCreateFileIDRefSync(HParmBlkPtr paramBlock) {
  return current().createFileIDRef(paramBlock);
}

OSErr PBResolveFileIDRefSync(HParmBlkPtr paramBlock) {
  return current().resolveFileIDRef(paramBlock);
}

OSErr PBHMapIDSync(HParmBlkPtr paramBlock) { return current().mapID(paramBlock); }

OSErr PBHMapNameSync(HParmBlkPtr paramBlock) { return current().mapName(paramBlock); }

OSErr PBHGetDirAccessSync(HParmBlkPtr paramBlock) { return current().getDirAccess(paramBlock); }

OSErr PBHSetDirAccessSync(HParmBlkPtr paramBlock) { return current().setDirAccess(paramBlock); }

OSErr PBHCopyFileSync(HParmBlkPtr paramBlock) { return current().copyFile(paramBlock); }

OSErr PBHMoveRenameSync(HParmBlkPtr paramBlock) { return current().moveRename(paramBlock); }

OSStatus FNNotify(const FSRef *ref, FNMessage message, OptionBits flags) {
  return current().notify(ref, message, flags);
}

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
