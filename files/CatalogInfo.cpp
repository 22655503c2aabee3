// Catalog information and Finder flags: small read-modify-write operations
// on one object's catalog record (lock tests, fork sizes, the content
// modification date, creator and type, Finder flags and information,
// privileges, folder access rights).  Changes of creator, type and Finder
// flags bump the parent folder's date, which also sends a change notice.
//
// None of these operations checks a pointer: outputs that are null are
// simply not asked for, and references go to the File Manager as given.
#include <FileUtilities.h>

#include <cstring>

namespace {

/// Rights FSSetDirAccess passes on: blank access privileges (bit 28) and the
/// search, read and write bits of owner, group and everyone.
constexpr SInt32 kSettableAccessRights = 0x10070707;

/// A catalog read into `info` with no name and no FSSpec.
OSErr catalogRead(const FSRef *ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo &info,
                  FSRef *parentRef = nullptr) {
  return FSGetCatalogInfo(ref, whichInfo, &info, nullptr, nullptr, parentRef);
}

/// `field` when the output it fills is wanted (not null), else nothing.
FSCatalogInfoBitmap wanted(const void *output, FSCatalogInfoBitmap field) {
  return output ? field : FSCatalogInfoBitmap{kFSCatInfoNone};
}

bool isFolder(const FSCatalogInfo &info) {
  return (info.nodeFlags & kFSNodeIsDirectoryMask) != 0;
}

/// The record's Finder information as a file's; a folder's Finder flags
/// stand at the same place, so either kind may use `file.finderFlags`.
FinderInfo finderInfoOf(const FSCatalogInfo &info) {
  FinderInfo finder;
  std::memcpy(&finder, info.finderInfo, sizeof finder);
  return finder;
}

void setFinderInfo(FSCatalogInfo &info, const FinderInfo &finder) {
  std::memcpy(info.finderInfo, &finder, sizeof finder);
}

bool sameDate(const UTCDateTime &a, const UTCDateTime &b) {
  return a.highSeconds == b.highSeconds && a.lowSeconds == b.lowSeconds &&
         a.fraction == b.fraction;
}

/// The folder FSGetDirAccess and FSSetDirAccess address: a block naming it
/// by its FSSpec (volume, parent directory, name), whose name lives in `spec`.
OSErr accessBlockFor(const FSRef *ref, FSSpec &spec, HParamBlockRec &pb) {
  FSCatalogInfo info;
  if (OSErr result = FSGetCatalogInfo(ref, kFSCatInfoNone, &info, nullptr, &spec, nullptr))
    return result;
  pb.accessParam.ioNamePtr = spec.name;
  pb.accessParam.ioVRefNum = spec.vRefNum;
  pb.accessParam.ioDirID = spec.parID;
  return noErr;
}

} // namespace

OSErr FSCheckLock(const FSRef *ref) {
  // The object's own lock outranks its volume's, and when it is set the
  // volume need not be read.
  FSCatalogInfo info;
  if (OSErr result = catalogRead(ref, kFSCatInfoNodeFlags | kFSCatInfoVolume, info))
    return result;
  if (info.nodeFlags & kFSNodeLockedMask)
    return fLckdErr;
  // Then the locks of the volume it is on.
  FSVolumeInfo volumeInfo;
  if (OSErr result = FSGetVolumeInfo(info.volume, 0, nullptr, kFSVolInfoFlags, &volumeInfo,
                                     nullptr, nullptr))
    return result;
  // A hardware lock outranks a software one: no software can lift it.
  if (volumeInfo.flags & kFSVolFlagHardwareLockedMask)
    return wPrErr;
  if (volumeInfo.flags & kFSVolFlagSoftwareLockedMask)
    return vLckdErr;
  return noErr;
}

OSErr FSGetForkSizes(const FSRef *ref, UInt64 *dataLogicalSize, UInt64 *rsrcLogicalSize) {
  FSCatalogInfo info;
  if (OSErr result = catalogRead(ref,
                                 kFSCatInfoNodeFlags |
                                     wanted(dataLogicalSize, kFSCatInfoDataSizes) |
                                     wanted(rsrcLogicalSize, kFSCatInfoRsrcSizes),
                                 info))
    return result;
  if (isFolder(info))
    return notAFileErr;
  if (dataLogicalSize)
    *dataLogicalSize = info.dataLogicalSize;
  if (rsrcLogicalSize)
    *rsrcLogicalSize = info.rsrcLogicalSize;
  return noErr;
}

OSErr FSGetTotalForkSizes(const FSRef *ref, UInt64 *totalLogicalSize,
                          UInt64 *totalPhysicalSize, ItemCount *forkCount) {
  // Zero first: after a failure the outputs hold the forks counted so far.
  if (totalLogicalSize)
    *totalLogicalSize = 0;
  if (totalPhysicalSize)
    *totalPhysicalSize = 0;
  if (forkCount)
    *forkCount = 0;
  // Every fork in turn, asking only for the sizes that are summed.
  CatPositionRec iterator;
  iterator.initialize = 0;
  SInt64 logicalSize = 0;
  UInt64 physicalSize = 0;
  OSErr result;
  while ((result = FSIterateForks(ref, &iterator, nullptr,
                                  totalLogicalSize ? &logicalSize : nullptr,
                                  totalPhysicalSize ? &physicalSize : nullptr)) == noErr) {
    if (totalLogicalSize)
      *totalLogicalSize += static_cast<UInt64>(logicalSize);
    if (totalPhysicalSize)
      *totalPhysicalSize += physicalSize;
    if (forkCount)
      ++*forkCount;
  }
  // Running out of forks is the normal end; any other status is the
  // caller's, with the sums so far.
  if (result == errFSNoMoreItems)
    return noErr;
  return result;
}

OSErr FSBumpDate(const FSRef *ref) {
  // The date the new one must differ from, and which folder to tell: the
  // node flags say whether the object is a folder, else its parent is told.
  FSCatalogInfo info;
  FSRef parentRef;
  if (OSErr result =
          catalogRead(ref, kFSCatInfoNodeFlags | kFSCatInfoContentMod, info, &parentRef))
    return result;
  // Now, as the new date.
  const UTCDateTime oldDate = info.contentModDate;
  if (OSErr result = GetUTCDateTime(&info.contentModDate, kUTCDefaultOptions))
    return result;
  // Within the same tick the date still has to change: one second later.
  if (sameDate(info.contentModDate, oldDate)) {
    info.contentModDate.lowSeconds = oldDate.lowSeconds + 1;
    if (info.contentModDate.lowSeconds == 0)
      info.contentModDate.highSeconds = static_cast<UInt16>(oldDate.highSeconds + 1);
  }
  // A date that was not written is reported, and announced to no one.
  if (OSErr result = FSSetCatalogInfo(ref, kFSCatInfoContentMod, &info))
    return result;
  // The folder whose contents changed: a file's parent, or the folder
  // itself.  Whether anyone heard does not change the result.
  (void)FNNotify(isFolder(info) ? ref : &parentRef, kFNDirectoryModifiedMessage, 0);
  return noErr;
}

OSErr FSChangeCreatorType(const FSRef *ref, OSType fileCreator, OSType fileType) {
  FSCatalogInfo info;
  FSRef parentRef;
  if (OSErr result =
          catalogRead(ref, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo, info, &parentRef))
    return result;
  if (isFolder(info))
    return notAFileErr;
  FinderInfo finder = finderInfoOf(info);
  if (fileCreator != 0)
    finder.file.fileCreator = fileCreator;
  if (fileType != 0)
    finder.file.fileType = fileType;
  setFinderInfo(info, finder);
  if (OSErr result = FSSetCatalogInfo(ref, kFSCatInfoFinderInfo, &info))
    return result;
  // The change is made; the parent's date only tells folder views.
  (void)FSBumpDate(&parentRef);
  return noErr;
}

OSErr FSChangeFinderFlags(const FSRef *ref, Boolean setBits, UInt16 flagBits) {
  FSCatalogInfo info;
  FSRef parentRef;
  if (OSErr result = catalogRead(ref, kFSCatInfoFinderInfo, info, &parentRef))
    return result;
  FinderInfo finder = finderInfoOf(info);
  if (setBits)
    finder.file.finderFlags |= flagBits;
  else
    finder.file.finderFlags &= static_cast<UInt16>(~flagBits);
  setFinderInfo(info, finder);
  if (OSErr result = FSSetCatalogInfo(ref, kFSCatInfoFinderInfo, &info))
    return result;
  (void)FSBumpDate(&parentRef);
  return noErr;
}

OSErr FSSetInvisible(const FSRef *ref) { return FSChangeFinderFlags(ref, true, kIsInvisible); }
OSErr FSClearInvisible(const FSRef *ref) { return FSChangeFinderFlags(ref, false, kIsInvisible); }
OSErr FSSetNameLocked(const FSRef *ref) { return FSChangeFinderFlags(ref, true, kNameLocked); }
OSErr FSClearNameLocked(const FSRef *ref) { return FSChangeFinderFlags(ref, false, kNameLocked); }
OSErr FSSetIsStationery(const FSRef *ref) { return FSChangeFinderFlags(ref, true, kIsStationery); }
OSErr FSClearIsStationery(const FSRef *ref) {
  return FSChangeFinderFlags(ref, false, kIsStationery);
}
OSErr FSSetHasCustomIcon(const FSRef *ref) {
  return FSChangeFinderFlags(ref, true, kHasCustomIcon);
}
OSErr FSClearHasCustomIcon(const FSRef *ref) {
  return FSChangeFinderFlags(ref, false, kHasCustomIcon);
}
OSErr FSClearHasBeenInited(const FSRef *ref) {
  return FSChangeFinderFlags(ref, false, kHasBeenInited);
}

OSErr FSCopyFileMgrAttributes(const FSRef *sourceRef, const FSRef *destRef,
                              Boolean copyLockBit) {
  FSCatalogInfo info;
  if (OSErr result = catalogRead(sourceRef, kFSCatInfoSettableInfo, info))
    return result;
  // The copy has not been seen by the Finder yet.
  FinderInfo finder = finderInfoOf(info);
  finder.file.finderFlags &= static_cast<UInt16>(~kHasBeenInited);
  setFinderInfo(info, finder);
  if (!copyLockBit)
    info.nodeFlags &= static_cast<UInt16>(~kFSNodeLockedMask);
  return FSSetCatalogInfo(destRef, kFSCatInfoSettableInfo, &info);
}

OSErr FSGetUserPrivilegesPermissions(const FSRef *ref, UInt8 *userPrivileges,
                                     FSPermissionInfo *permissions) {
  FSCatalogInfo info;
  if (OSErr result = catalogRead(ref,
                                 wanted(userPrivileges, kFSCatInfoUserPrivs) |
                                     wanted(permissions, kFSCatInfoPermissions),
                                 info))
    return result;
  if (userPrivileges)
    *userPrivileges = info.userPrivileges;
  if (permissions)
    std::memcpy(permissions, &info.permissions, sizeof *permissions);
  return noErr;
}

OSErr FSGetFinderInfo(const FSRef *ref, FinderInfo *info, ExtendedFinderInfo *extendedInfo,
                      Boolean *isDirectory) {
  FSCatalogInfo catalogInfo;
  if (OSErr result = catalogRead(ref,
                                 wanted(info, kFSCatInfoFinderInfo) |
                                     wanted(extendedInfo, kFSCatInfoFinderXInfo) |
                                     wanted(isDirectory, kFSCatInfoNodeFlags),
                                 catalogInfo))
    return result;
  if (info)
    std::memcpy(info, catalogInfo.finderInfo, sizeof *info);
  if (extendedInfo)
    std::memcpy(extendedInfo, catalogInfo.extFinderInfo, sizeof *extendedInfo);
  if (isDirectory)
    *isDirectory = isFolder(catalogInfo);
  return noErr;
}

OSErr FSSetFinderInfo(const FSRef *ref, const FinderInfo *info,
                      const ExtendedFinderInfo *extendedInfo) {
  // Only what is given is written; with neither, an empty write.
  FSCatalogInfoBitmap whichInfo = kFSCatInfoNone;
  FSCatalogInfo catalogInfo{};
  if (info) {
    std::memcpy(catalogInfo.finderInfo, info, sizeof catalogInfo.finderInfo);
    whichInfo |= kFSCatInfoFinderInfo;
  }
  if (extendedInfo) {
    std::memcpy(catalogInfo.extFinderInfo, extendedInfo, sizeof catalogInfo.extFinderInfo);
    whichInfo |= kFSCatInfoFinderXInfo;
  }
  return FSSetCatalogInfo(ref, whichInfo, &catalogInfo);
}

OSErr FSGetDirAccess(const FSRef *ref, SInt32 *ownerID, SInt32 *groupID,
                     SInt32 *accessRights) {
  FSSpec spec;
  HParamBlockRec pb{};
  if (OSErr result = accessBlockFor(ref, spec, pb))
    return result;
  if (OSErr result = PBHGetDirAccessSync(&pb))
    return result;
  if (ownerID)
    *ownerID = pb.accessParam.ioACOwnerID;
  if (groupID)
    *groupID = pb.accessParam.ioACGroupID;
  if (accessRights)
    *accessRights = pb.accessParam.ioACAccess;
  return noErr;
}

OSErr FSSetDirAccess(const FSRef *ref, SInt32 ownerID, SInt32 groupID, SInt32 accessRights) {
  FSSpec spec;
  HParamBlockRec pb{};
  if (OSErr result = accessBlockFor(ref, spec, pb))
    return result;
  pb.accessParam.ioACOwnerID = ownerID;
  pb.accessParam.ioACGroupID = groupID;
  pb.accessParam.ioACAccess = accessRights & kSettableAccessRights;
  return PBHSetDirAccessSync(&pb);
}
