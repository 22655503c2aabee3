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

} // extern "C"
