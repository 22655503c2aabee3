#include "platform/filemanager/FileManagerTesting.h"

#include "platform/filemanager/ForkTable.h"
#include "platform/filemanager/Syscalls.h"

#include <cstddef>
#include <cstring>
#include <unistd.h>

namespace quillmate::fm::testing {

FSIORefNum adoptDescriptorAsFork(int fd) {
  ForkEntry entry;
  entry.fd = fd;
  return ForkTable::shared().insert(std::move(entry));
}

OSErr closeAdoptedFork(FSIORefNum refNum) {
  ForkEntry entry;
  if (!ForkTable::shared().remove(refNum, entry))
    return rfNumErr;
  sys::close(entry.fd);
  return noErr;
}

// --- InterceptingFileManager ---------------------------------------------------

namespace {
UInt32 nullMask(std::initializer_list<const void *> pointers) {
  UInt32 mask = 0, bit = 1;
  for (const void *p : pointers) {
    if (!p)
      mask |= bit;
    bit <<= 1;
  }
  return mask;
}
} // namespace

InterceptingFileManager::InterceptingFileManager()
    : inner_(&current()), scope_(new ScopedFileManager(*this)) {}

InterceptingFileManager::~InterceptingFileManager() { delete scope_; }

template <class F> OSErr InterceptingFileManager::run(Call call, F &&f) {
  if (std::optional<OSErr> forced = before(call)) {
    after(call, *forced);
    return *forced;
  }
  OSErr result = static_cast<OSErr>(f());
  after(call, result);
  return result;
}

OSErr InterceptingFileManager::getCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                                              FSCatalogInfo *info, HFSUniStr255 *outName,
                                              FSSpec *spec, FSRef *parentRef) {
  Call c{"FSGetCatalogInfo", whichInfo, 0, 0, nullMask({ref, info, outName, spec, parentRef}), ref};
  return run(c, [&] { return inner_->getCatalogInfo(ref, whichInfo, info, outName, spec, parentRef); });
}

OSErr InterceptingFileManager::setCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                                              const FSCatalogInfo *info) {
  Call c{"FSSetCatalogInfo", whichInfo, 0, 0, nullMask({ref, info}), ref};
  return run(c, [&] { return inner_->setCatalogInfo(ref, whichInfo, info); });
}

OSErr InterceptingFileManager::makeFSRefUnicode(const FSRef *parentRef, UniCharCount nameLength,
                                                const UniChar *name, TextEncoding hint,
                                                FSRef *newRef) {
  Call c{"FSMakeFSRefUnicode", 0, hint, nameLength, nullMask({parentRef, name, newRef}), parentRef};
  return run(c, [&] { return inner_->makeFSRefUnicode(parentRef, nameLength, name, hint, newRef); });
}

OSErr InterceptingFileManager::makeFSRefUnicodePB(FSRefParam *pb) {
  Call c{"PBMakeFSRefUnicodeSync", 0, pb ? pb->textEncodingHint : 0, pb ? pb->nameLength : 0,
         pb ? nullMask({pb, pb->ref, pb->name, pb->newRef}) : 1u, pb ? pb->ref : nullptr};
  return run(c, [&] { return inner_->makeFSRefUnicodePB(pb); });
}

OSErr InterceptingFileManager::makeFSRefPB(FSRefParam *pb) {
  Call c{"PBMakeFSRefSync", 0, 0, pb && pb->ioNamePtr ? pb->ioNamePtr[0] : 0u,
         pb ? nullMask({pb, pb->ioNamePtr, pb->newRef}) : 1u};
  return run(c, [&] { return inner_->makeFSRefPB(pb); });
}

OSStatus InterceptingFileManager::pathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory) {
  Call c{"FSPathMakeRef", 0, 0, 0, nullMask({path, ref, isDirectory})};
  OSStatus status = 0;
  run(c, [&] { return status = inner_->pathMakeRef(path, ref, isDirectory); });
  return status;
}

OSStatus InterceptingFileManager::refMakePath(const FSRef *ref, UInt8 *path, UInt32 size) {
  Call c{"FSRefMakePath", 0, 0, size, nullMask({ref, path}), ref};
  return run(c, [&] { return inner_->refMakePath(ref, path, size); });
}

OSErr InterceptingFileManager::compareFSRefs(const FSRef *a, const FSRef *b) {
  Call c{"FSCompareFSRefs", 0, 0, 0, nullMask({a, b}), a, b};
  return run(c, [&] { return inner_->compareFSRefs(a, b); });
}

OSErr InterceptingFileManager::createFileUnicode(const FSRef *parentRef, UniCharCount nameLength,
                                                 const UniChar *name,
                                                 FSCatalogInfoBitmap whichInfo,
                                                 const FSCatalogInfo *info, FSRef *newRef,
                                                 FSSpec *newSpec) {
  Call c{"FSCreateFileUnicode", whichInfo, 0, nameLength,
         nullMask({parentRef, name, info, newRef, newSpec}), parentRef};
  return run(c, [&] {
    return inner_->createFileUnicode(parentRef, nameLength, name, whichInfo, info, newRef, newSpec);
  });
}

OSErr InterceptingFileManager::createDirectoryUnicode(const FSRef *parentRef,
                                                      UniCharCount nameLength, const UniChar *name,
                                                      FSCatalogInfoBitmap whichInfo,
                                                      const FSCatalogInfo *info, FSRef *newRef,
                                                      FSSpec *newSpec, UInt32 *newDirID) {
  Call c{"FSCreateDirectoryUnicode", whichInfo, 0, nameLength,
         nullMask({parentRef, name, info, newRef, newSpec, newDirID}), parentRef};
  return run(c, [&] {
    return inner_->createDirectoryUnicode(parentRef, nameLength, name, whichInfo, info, newRef,
                                          newSpec, newDirID);
  });
}

OSErr InterceptingFileManager::deleteObject(const FSRef *ref) {
  Call c{"FSDeleteObject", 0, 0, 0, nullMask({ref}), ref};
  return run(c, [&] { return inner_->deleteObject(ref); });
}

OSErr InterceptingFileManager::moveObject(const FSRef *ref, const FSRef *destDirectory,
                                          FSRef *newRef) {
  Call c{"FSMoveObject", 0, 0, 0, nullMask({ref, destDirectory, newRef}), ref, destDirectory};
  return run(c, [&] { return inner_->moveObject(ref, destDirectory, newRef); });
}

OSErr InterceptingFileManager::exchangeObjects(const FSRef *ref, const FSRef *destRef) {
  Call c{"FSExchangeObjects", 0, 0, 0, nullMask({ref, destRef}), ref, destRef};
  return run(c, [&] { return inner_->exchangeObjects(ref, destRef); });
}

OSErr InterceptingFileManager::renameUnicode(const FSRef *ref, UniCharCount nameLength,
                                             const UniChar *name, TextEncoding hint,
                                             FSRef *newRef) {
  Call c{"FSRenameUnicode", 0, hint, nameLength, nullMask({ref, name, newRef}), ref};
  return run(c, [&] { return inner_->renameUnicode(ref, nameLength, name, hint, newRef); });
}

OSErr InterceptingFileManager::openIterator(const FSRef *container, FSIteratorFlags flags,
                                            FSIterator *iterator) {
  Call c{"FSOpenIterator", 0, flags, 0, nullMask({container, iterator}), container};
  return run(c, [&] { return inner_->openIterator(container, flags, iterator); });
}

OSErr InterceptingFileManager::closeIterator(FSIterator iterator) {
  Call c{"FSCloseIterator", 0, 0, 0, nullMask({iterator})};
  return run(c, [&] { return inner_->closeIterator(iterator); });
}

OSErr InterceptingFileManager::getCatalogInfoBulk(FSIterator iterator, ItemCount maximumObjects,
                                                  ItemCount *actualObjects,
                                                  Boolean *containerChanged,
                                                  FSCatalogInfoBitmap whichInfo,
                                                  FSCatalogInfo *infos, FSRef *refs,
                                                  FSSpec *specs, HFSUniStr255 *names) {
  Call c{"FSGetCatalogInfoBulk", whichInfo, 0, maximumObjects,
         nullMask({iterator, actualObjects, containerChanged, infos, refs, specs, names})};
  return run(c, [&] {
    return inner_->getCatalogInfoBulk(iterator, maximumObjects, actualObjects, containerChanged,
                                      whichInfo, infos, refs, specs, names);
  });
}

namespace {
Call forkCall(const char *name, FSIORefNum fork, UInt32 mode, SInt64 offset, UInt64 count,
              UInt32 nulls) {
  Call c;
  c.name = name;
  c.fork = fork;
  c.flags = mode;
  c.offset = offset;
  c.count = count;
  c.nulls = nulls;
  return c;
}
} // namespace

OSErr InterceptingFileManager::openFork(const FSRef *ref, UniCharCount forkNameLength,
                                        const UniChar *forkName, SInt8 permissions,
                                        FSIORefNum *forkRefNum) {
  Call c = forkCall("FSOpenFork", 0, static_cast<UInt32>(permissions), 0, forkNameLength,
                    nullMask({ref, forkName, forkRefNum}));
  c.ref = ref;
  return run(c, [&] { return inner_->openFork(ref, forkNameLength, forkName, permissions, forkRefNum); });
}

OSErr InterceptingFileManager::closeFork(FSIORefNum forkRefNum) {
  return run(forkCall("FSCloseFork", forkRefNum, 0, 0, 0, 0),
             [&] { return inner_->closeFork(forkRefNum); });
}

OSErr InterceptingFileManager::readFork(FSIORefNum forkRefNum, UInt16 positionMode,
                                        SInt64 positionOffset, ByteCount requestCount,
                                        void *buffer, ByteCount *actualCount) {
  return run(forkCall("FSReadFork", forkRefNum, positionMode, positionOffset, requestCount,
                      nullMask({buffer, actualCount})),
             [&] {
               return inner_->readFork(forkRefNum, positionMode, positionOffset, requestCount,
                                       buffer, actualCount);
             });
}

OSErr InterceptingFileManager::writeFork(FSIORefNum forkRefNum, UInt16 positionMode,
                                         SInt64 positionOffset, ByteCount requestCount,
                                         const void *buffer, ByteCount *actualCount) {
  return run(forkCall("FSWriteFork", forkRefNum, positionMode, positionOffset, requestCount,
                      nullMask({buffer, actualCount})),
             [&] {
               return inner_->writeFork(forkRefNum, positionMode, positionOffset, requestCount,
                                        buffer, actualCount);
             });
}

OSErr InterceptingFileManager::getForkSize(FSIORefNum forkRefNum, SInt64 *forkSize) {
  return run(forkCall("FSGetForkSize", forkRefNum, 0, 0, 0, nullMask({forkSize})),
             [&] { return inner_->getForkSize(forkRefNum, forkSize); });
}

OSErr InterceptingFileManager::setForkSize(FSIORefNum forkRefNum, UInt16 positionMode,
                                           SInt64 positionOffset) {
  return run(forkCall("FSSetForkSize", forkRefNum, positionMode, positionOffset, 0, 0),
             [&] { return inner_->setForkSize(forkRefNum, positionMode, positionOffset); });
}

OSErr InterceptingFileManager::getForkPosition(FSIORefNum forkRefNum, SInt64 *position) {
  return run(forkCall("FSGetForkPosition", forkRefNum, 0, 0, 0, nullMask({position})),
             [&] { return inner_->getForkPosition(forkRefNum, position); });
}

OSErr InterceptingFileManager::setForkPosition(FSIORefNum forkRefNum, UInt16 positionMode,
                                               SInt64 positionOffset) {
  return run(forkCall("FSSetForkPosition", forkRefNum, positionMode, positionOffset, 0, 0),
             [&] { return inner_->setForkPosition(forkRefNum, positionMode, positionOffset); });
}

OSErr InterceptingFileManager::getForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum volume,
                                             SInt16 *iterator, FSIORefNum *actualRefNum,
                                             FSForkInfo *forkInfo, FSRef *ref,
                                             HFSUniStr255 *outForkName) {
  Call c = forkCall("FSGetForkCBInfo", desiredRefNum, static_cast<UInt32>(volume), 0, 0,
                    nullMask({iterator, actualRefNum, forkInfo, ref, outForkName}));
  return run(c, [&] {
    return inner_->getForkCBInfo(desiredRefNum, volume, iterator, actualRefNum, forkInfo, ref,
                                 outForkName);
  });
}

OSErr InterceptingFileManager::iterateForks(const FSRef *ref, CatPositionRec *forkIterator,
                                            HFSUniStr255 *forkName, SInt64 *forkSize,
                                            UInt64 *forkPhysicalSize) {
  Call c = forkCall("FSIterateForks", 0, 0, 0, 0,
                    nullMask({ref, forkIterator, forkName, forkSize, forkPhysicalSize}));
  c.ref = ref;
  return run(c, [&] {
    return inner_->iterateForks(ref, forkIterator, forkName, forkSize, forkPhysicalSize);
  });
}

OSErr InterceptingFileManager::lockRange(ParmBlkPtr pb) {
  Call c = pb ? forkCall("PBLockRangeSync", pb->ioParam.ioRefNum,
                         static_cast<UInt32>(pb->ioParam.ioPosMode), pb->ioParam.ioPosOffset,
                         static_cast<UInt64>(pb->ioParam.ioReqCount), 0)
              : forkCall("PBLockRangeSync", 0, 0, 0, 0, 1);
  return run(c, [&] { return inner_->lockRange(pb); });
}

OSErr InterceptingFileManager::unlockRange(ParmBlkPtr pb) {
  Call c = pb ? forkCall("PBUnlockRangeSync", pb->ioParam.ioRefNum,
                         static_cast<UInt32>(pb->ioParam.ioPosMode), pb->ioParam.ioPosOffset,
                         static_cast<UInt64>(pb->ioParam.ioReqCount), 0)
              : forkCall("PBUnlockRangeSync", 0, 0, 0, 0, 1);
  return run(c, [&] { return inner_->unlockRange(pb); });
}

namespace {
UInt64 pascalLength(ConstStringPtr s) { return s ? s[0] : 0; }

Call blockCall(const char *name, const void *pb, FSVolumeRefNum volume, SInt32 dirID,
               UInt64 count = 0, UInt32 flags = 0) {
  Call c;
  c.name = name;
  c.nulls = pb ? 0u : 1u;
  c.volume = volume;
  c.dirID = dirID;
  c.count = count;
  c.flags = flags;
  return c;
}

#define QM_PB_FIELD(pb, field) ((pb) ? (pb)->field : decltype((pb)->field){})
} // namespace

OSErr InterceptingFileManager::getVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex,
                                             FSVolumeRefNum *actualVolume,
                                             FSVolumeInfoBitmap whichInfo, FSVolumeInfo *info,
                                             HFSUniStr255 *volumeName, FSRef *rootDirectory) {
  Call c{"FSGetVolumeInfo", whichInfo, 0, volumeIndex,
         nullMask({actualVolume, info, volumeName, rootDirectory})};
  c.volume = volume;
  return run(c, [&] {
    return inner_->getVolumeInfo(volume, volumeIndex, actualVolume, whichInfo, info, volumeName,
                                 rootDirectory);
  });
}

OSErr InterceptingFileManager::getVolParms(HParmBlkPtr pb) {
  Call c = blockCall("PBHGetVolParmsSync", pb, QM_PB_FIELD(pb, ioParam.ioVRefNum), 0,
                     static_cast<UInt64>(QM_PB_FIELD(pb, ioParam.ioReqCount)));
  return run(c, [&] { return inner_->getVolParms(pb); });
}

OSErr InterceptingFileManager::getVolMountInfoSize(ParmBlkPtr pb) {
  Call c = blockCall("PBGetVolMountInfoSize", pb, QM_PB_FIELD(pb, ioParam.ioVRefNum), 0);
  return run(c, [&] { return inner_->getVolMountInfoSize(pb); });
}

OSErr InterceptingFileManager::getVolMountInfo(ParmBlkPtr pb) {
  Call c = blockCall("PBGetVolMountInfo", pb, QM_PB_FIELD(pb, ioParam.ioVRefNum), 0);
  return run(c, [&] { return inner_->getVolMountInfo(pb); });
}

OSErr InterceptingFileManager::volumeMount(ParmBlkPtr pb) {
  Call c = blockCall("PBVolumeMount", pb, 0, 0);
  return run(c, [&] { return inner_->volumeMount(pb); });
}

OSErr InterceptingFileManager::getVol(StringPtr volName, FSVolumeRefNum *vRefNum, SInt32 *dirID) {
  Call c{"HGetVol", 0, 0, 0, nullMask({volName, vRefNum, dirID})};
  return run(c, [&] { return inner_->getVol(volName, vRefNum, dirID); });
}

OSErr InterceptingFileManager::setVol(ConstStr63Param volName, FSVolumeRefNum vRefNum,
                                      SInt32 dirID) {
  Call c{"HSetVol", 0, 0, pascalLength(volName), nullMask({volName})};
  c.volume = vRefNum;
  c.dirID = dirID;
  return run(c, [&] { return inner_->setVol(volName, vRefNum, dirID); });
}

OSErr InterceptingFileManager::createFileIDRef(HParmBlkPtr pb) {
  Call c = blockCall("PBCreateFileIDRefSync", pb, QM_PB_FIELD(pb, fidParam.ioVRefNum),
                     QM_PB_FIELD(pb, fidParam.ioSrcDirID),
                     pascalLength(QM_PB_FIELD(pb, fidParam.ioNamePtr)));
  return run(c, [&] { return inner_->createFileIDRef(pb); });
}

OSErr InterceptingFileManager::resolveFileIDRef(HParmBlkPtr pb) {
  Call c = blockCall("PBResolveFileIDRefSync", pb, QM_PB_FIELD(pb, fidParam.ioVRefNum), 0, 0,
                     static_cast<UInt32>(QM_PB_FIELD(pb, fidParam.ioFileID)));
  return run(c, [&] { return inner_->resolveFileIDRef(pb); });
}

OSErr InterceptingFileManager::mapID(HParmBlkPtr pb) {
  Call c = blockCall("PBHMapIDSync", pb, QM_PB_FIELD(pb, objParam.ioVRefNum),
                     QM_PB_FIELD(pb, objParam.ioObjID), 0,
                     static_cast<UInt32>(QM_PB_FIELD(pb, objParam.ioObjType)));
  return run(c, [&] { return inner_->mapID(pb); });
}

OSErr InterceptingFileManager::mapName(HParmBlkPtr pb) {
  Call c = blockCall("PBHMapNameSync", pb, QM_PB_FIELD(pb, objParam.ioVRefNum), 0,
                     pascalLength(QM_PB_FIELD(pb, objParam.ioObjNamePtr)),
                     static_cast<UInt32>(QM_PB_FIELD(pb, objParam.ioObjType)));
  return run(c, [&] { return inner_->mapName(pb); });
}

OSErr InterceptingFileManager::getDirAccess(HParmBlkPtr pb) {
  Call c = blockCall("PBHGetDirAccessSync", pb, QM_PB_FIELD(pb, accessParam.ioVRefNum),
                     QM_PB_FIELD(pb, accessParam.ioDirID),
                     pascalLength(QM_PB_FIELD(pb, accessParam.ioNamePtr)));
  return run(c, [&] { return inner_->getDirAccess(pb); });
}

OSErr InterceptingFileManager::setDirAccess(HParmBlkPtr pb) {
  Call c = blockCall("PBHSetDirAccessSync", pb, QM_PB_FIELD(pb, accessParam.ioVRefNum),
                     QM_PB_FIELD(pb, accessParam.ioDirID),
                     pascalLength(QM_PB_FIELD(pb, accessParam.ioNamePtr)),
                     static_cast<UInt32>(QM_PB_FIELD(pb, accessParam.ioACAccess)));
  return run(c, [&] { return inner_->setDirAccess(pb); });
}

OSErr InterceptingFileManager::copyFile(HParmBlkPtr pb) {
  Call c = blockCall("PBHCopyFileSync", pb, QM_PB_FIELD(pb, copyParam.ioVRefNum),
                     QM_PB_FIELD(pb, copyParam.ioDirID),
                     pascalLength(QM_PB_FIELD(pb, copyParam.ioNamePtr)));
  if (pb)
    c.nulls = nullMask({pb->copyParam.ioNamePtr, pb->copyParam.ioNewName,
                        pb->copyParam.ioCopyName}) << 1;
  return run(c, [&] { return inner_->copyFile(pb); });
}

OSErr InterceptingFileManager::moveRename(HParmBlkPtr pb) {
  Call c = blockCall("PBHMoveRenameSync", pb, QM_PB_FIELD(pb, copyParam.ioVRefNum),
                     QM_PB_FIELD(pb, copyParam.ioDirID),
                     pascalLength(QM_PB_FIELD(pb, copyParam.ioNamePtr)));
  if (pb)
    c.nulls = nullMask({pb->copyParam.ioNamePtr, pb->copyParam.ioNewName,
                        pb->copyParam.ioCopyName}) << 1;
  return run(c, [&] { return inner_->moveRename(pb); });
}

OSStatus InterceptingFileManager::notify(const FSRef *ref, FNMessage message, OptionBits flags) {
  Call c{"FNNotify", message, flags, 0, nullMask({ref}), ref};
  OSStatus status = 0;
  run(c, [&] { return status = inner_->notify(ref, message, flags); });
  return status;
}

#undef QM_PB_FIELD

// --- FaultInjector -------------------------------------------------------------

void FaultInjector::failNth(const std::string &name, unsigned n, OSErr status) {
  rules_.push_back(Rule{name, seen(name) + n, nullptr, status});
}

void FaultInjector::failWhen(std::function<bool(const Call &)> match, OSErr status) {
  rules_.push_back(Rule{std::string(), 0, std::move(match), status});
}

unsigned FaultInjector::seen(const std::string &name) const {
  for (const auto &[n, count] : counts_)
    if (n == name)
      return count;
  return 0;
}

std::optional<OSErr> FaultInjector::before(const Call &call) {
  unsigned count = 0;
  bool found = false;
  for (auto &[n, c] : counts_) {
    if (n == call.name) {
      count = ++c;
      found = true;
    }
  }
  if (!found) {
    counts_.emplace_back(call.name, 1);
    count = 1;
  }
  for (const Rule &rule : rules_) {
    if (rule.match ? rule.match(call) : (rule.name == call.name && rule.nth == count))
      return rule.status;
  }
  if (!missing_.empty()) {
    if ((call.name == "PBHCopyFileSync" && lacks(call.volume, bHasCopyFile, false)) ||
        (call.name == "PBHMoveRenameSync" && lacks(call.volume, bHasMoveRename, false)) ||
        ((call.name == "PBCreateFileIDRefSync" || call.name == "PBResolveFileIDRefSync") &&
         lacks(call.volume, bHasFileIDs, false)))
      return paramErr;
    if (call.name == "FSExchangeObjects" && call.ref) {
      FSCatalogInfo info;
      if (inner().getCatalogInfo(call.ref, kFSCatInfoVolume, &info, nullptr, nullptr,
                                 nullptr) == noErr &&
          lacks(info.volume, bSupportsFSExchangeObjects, true))
        return paramErr;
    }
  }
  return std::nullopt;
}

void FaultInjector::withoutCapability(FSVolumeRefNum volume, int bit, bool extended) {
  missing_.push_back(Capability{volume, bit, extended});
}

bool FaultInjector::lacks(FSVolumeRefNum volume, int bit, bool extended) {
  for (const Capability &m : missing_)
    if (m.bit == bit && m.extended == extended && (m.volume == 0 || m.volume == volume))
      return true;
  return false;
}

OSErr FaultInjector::getVolParms(HParmBlkPtr pb) {
  OSErr err = InterceptingFileManager::getVolParms(pb);
  if (err != noErr || missing_.empty())
    return err;
  // Clear the bits in whatever part of the buffer the call filled.
  auto *buffer = reinterpret_cast<GetVolParmsInfoBuffer *>(pb->ioParam.ioBuffer);
  const SInt32 filled = pb->ioParam.ioActCount;
  for (const Capability &m : missing_) {
    if (m.volume != 0 && m.volume != pb->ioParam.ioVRefNum)
      continue;
    const size_t end = m.extended ? offsetof(GetVolParmsInfoBuffer, vMExtendedAttributes) + 4
                                  : offsetof(GetVolParmsInfoBuffer, vMAttrib) + 4;
    if (filled < static_cast<SInt32>(end))
      continue;
    SInt32 *field = m.extended ? &buffer->vMExtendedAttributes : &buffer->vMAttrib;
    SInt32 bits;
    std::memcpy(&bits, field, sizeof bits); // the record is packed
    bits &= ~static_cast<SInt32>(1u << m.bit);
    std::memcpy(field, &bits, sizeof bits);
  }
  return err;
}

// --- CallRecorder --------------------------------------------------------------

void CallRecorder::after(const Call &call, OSErr result) {
  calls_.push_back(call);
  calls_.back().result = result;
}

std::vector<std::string> CallRecorder::names() const {
  std::vector<std::string> out;
  for (const Call &c : calls_)
    out.push_back(c.name);
  return out;
}

} // namespace quillmate::fm::testing
