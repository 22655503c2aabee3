// Volumes, mounting and the default folder: a volume's parameters, number,
// name, sizes and file-system identity; the list of mounted volumes; a
// volume's mount record and mounting from it; and moving the process-wide
// default folder to an FSRef and back.
#include <FileUtilities.h>

namespace {

/// A classic block naming volume `volRefNum` (no name) with the caller's
/// buffer: what the mount-record calls take.
ParamBlockRec volumeBlock(FSVolumeRefNum volRefNum, void *buffer) {
  ParamBlockRec pb{};
  pb.ioParam.ioNamePtr = nullptr;
  pb.ioParam.ioVRefNum = volRefNum;
  pb.ioParam.ioBuffer = static_cast<Ptr>(buffer);
  return pb;
}

/// The volume and directory ID of `directory`; dirNFErr when it is a file.
OSErr directoryIDs(const FSRef *directory, FSCatalogInfo &info) {
  if (OSErr result = FSGetCatalogInfo(directory,
                                      kFSCatInfoNodeFlags | kFSCatInfoVolume | kFSCatInfoNodeID,
                                      &info, nullptr, nullptr, nullptr))
    return result;
  if (!(info.nodeFlags & kFSNodeIsDirectoryMask))
    return dirNFErr;
  return noErr;
}

/// Makes the folder that directoryIDs found the default.
OSErr setDefaultFolder(const FSCatalogInfo &info) {
  return HSetVol(nullptr, info.volume, static_cast<SInt32>(info.nodeID));
}

} // namespace

OSErr FSGetVolParms(FSVolumeRefNum volRefNum, UInt32 bufferSize,
                    GetVolParmsInfoBuffer *volParmsInfo, UInt32 *actualInfoSize) {
  if (!volParmsInfo || !actualInfoSize)
    return paramErr;
  HParamBlockRec pb{};
  pb.ioParam.ioNamePtr = nullptr;
  pb.ioParam.ioVRefNum = volRefNum;
  pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(volParmsInfo);
  pb.ioParam.ioReqCount = static_cast<SInt32>(bufferSize);
  if (OSErr result = PBHGetVolParmsSync(&pb))
    return result;
  *actualInfoSize = static_cast<UInt32>(pb.ioParam.ioActCount);
  return noErr;
}

OSErr FSGetVRefNum(const FSRef *ref, FSVolumeRefNum *vRefNum) {
  if (!vRefNum)
    return paramErr;
  FSCatalogInfo info;
  if (OSErr result = FSGetCatalogInfo(ref, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr))
    return result;
  *vRefNum = info.volume;
  return noErr;
}

OSErr FSGetVInfo(FSVolumeRefNum volume, HFSUniStr255 *volumeName, UInt64 *freeBytes,
                 UInt64 *totalBytes) {
  // The sizes only when one is wanted; the name comes with any request.
  FSVolumeInfoBitmap whichInfo = (freeBytes || totalBytes) ? kFSVolInfoSizes : kFSVolInfoNone;
  FSVolumeInfo info;
  OSErr result = FSGetVolumeInfo(volume, 0, nullptr, whichInfo, &info, volumeName, nullptr);
  if (result == noErr) {
    if (freeBytes)
      *freeBytes = info.freeBytes;
    if (totalBytes)
      *totalBytes = info.totalBytes;
  }
  return result;
}

OSErr FSGetVolFileSystemID(FSVolumeRefNum volume, UInt16 *fileSystemID, UInt16 *signature) {
  FSVolumeInfo info;
  OSErr result =
      FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoFSInfo, &info, nullptr, nullptr);
  if (result == noErr) {
    if (fileSystemID)
      *fileSystemID = info.filesystemID;
    if (signature)
      *signature = info.signature;
  }
  return result;
}

OSErr FSGetMountedVolumes(FSRef ***volumeRefsHandle, ItemCount *numVolumes) {
  if (!volumeRefsHandle || !numVolumes)
    return paramErr;
  // The handle starts empty and grows by one root per volume.
  *numVolumes = 0;
  *volumeRefsHandle = reinterpret_cast<FSRef **>(NewHandle(0));
  if (!*volumeRefsHandle)
    return memFullErr;
  // Each volume's root, by index from 1, until the index runs past the last
  // volume.
  OSErr result;
  for (ItemCount index = 1;; ++index) {
    FSRef root;
    result = FSGetVolumeInfo(0, index, nullptr, kFSVolInfoNone, nullptr, nullptr, &root);
    if (result != noErr)
      break;
    (void)PtrAndHand(&root, reinterpret_cast<Handle>(*volumeRefsHandle), sizeof root);
    result = MemError();
    if (result != noErr)
      break;
    ++*numVolumes;
  }
  // Past the last volume (nsvErr): the list is complete.
  if (result == nsvErr)
    return noErr;
  // Anything else: no list at all, so the caller never holds a partial one.
  DisposeHandle(reinterpret_cast<Handle>(*volumeRefsHandle));
  *volumeRefsHandle = nullptr;
  *numVolumes = 0;
  return result;
}

OSErr FSGetVolMountInfoSize(FSVolumeRefNum volRefNum, SInt16 *size) {
  if (!size)
    return paramErr;
  ParamBlockRec pb = volumeBlock(volRefNum, size);
  return PBGetVolMountInfoSize(&pb);
}

OSErr FSGetVolMountInfo(FSVolumeRefNum volRefNum, void *volMountInfo) {
  if (!volMountInfo)
    return paramErr;
  ParamBlockRec pb = volumeBlock(volRefNum, volMountInfo);
  return PBGetVolMountInfo(&pb);
}

OSErr FSVolumeMount(const void *volMountInfo, FSVolumeRefNum *volRefNum) {
  if (!volRefNum)
    return paramErr;
  ParamBlockRec pb{};
  pb.ioParam.ioBuffer = static_cast<Ptr>(const_cast<void *>(volMountInfo));
  if (OSErr result = PBVolumeMount(&pb))
    return result;
  *volRefNum = pb.ioParam.ioVRefNum;
  return noErr;
}

OSErr FSSetDefault(const FSRef *newDefault, FSRef *oldDefault) {
  if (!newDefault || !oldDefault)
    return paramErr;
  // The new default must be a folder; that is settled before anything changes.
  FSCatalogInfo info;
  if (OSErr result = directoryIDs(newDefault, info))
    return result;
  // The current default, as an FSRef to come back to, made before the default
  // moves: a failure here leaves the default where it was.
  FSVolumeRefNum vRefNum;
  SInt32 dirID;
  if (OSErr result = HGetVol(nullptr, &vRefNum, &dirID))
    return result;
  FSRefParam pb{};
  pb.ioNamePtr = nullptr;
  pb.ioVRefNum = vRefNum;
  pb.ioDirID = dirID;
  pb.newRef = oldDefault;
  if (OSErr result = PBMakeFSRefSync(&pb))
    return result;
  // Only with the way back in hand does the default move.
  return setDefaultFolder(info);
}

OSErr FSRestoreDefault(const FSRef *oldDefault) {
  if (!oldDefault)
    return paramErr;
  FSCatalogInfo info;
  if (OSErr result = directoryIDs(oldDefault, info))
    return result;
  return setDefaultFolder(info);
}
