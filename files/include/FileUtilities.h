// The file utility library: small, exact operations on files, folders,
// forks, names and volumes, each a thin layer over the File Manager.
//
// Every operation is a plain function that returns a status (OSErr, noErr on
// success; FSRefValid a Boolean, FSPathMakeFSSpec and FSMakePath an
// OSStatus).  A required output pointer that is null gives paramErr before
// anything else happens (the catalog-information family checks no pointer);
// optional outputs may be null and are then not asked for.  Failures of the
// File Manager come back unchanged and nothing is retried.  Outputs are
// written only after success unless an operation says otherwise.  The
// library keeps no state and takes no locks; the default folder that
// FSSetDefault changes is process-wide.
//
//   #include <FileUtilities.h>   // after find_package(Quillmate CONFIG)
//   target_link_libraries(app PRIVATE Quillmate::files)
#ifndef QUILLMATE_FILEUTILITIES_H
#define QUILLMATE_FILEUTILITIES_H

#include <CoreServices/CoreServices.h>

#ifdef __cplusplus
extern "C" {
#endif

/// The 16 bytes of Finder information, as a file's or as a folder's.
union FinderInfo {
  FileInfo file;
  FolderInfo folder;
};
typedef union FinderInfo FinderInfo;

/// The 16 bytes of extended Finder information, as a file's or a folder's.
union ExtendedFinderInfo {
  ExtendedFileInfo file;
  ExtendedFolderInfo folder;
};
typedef union ExtendedFinderInfo ExtendedFinderInfo;

// --- References, paths and names ---------------------------------------------

/// The FSSpec of the object `ref` names.
OSErr FSRefMakeFSSpec(const FSRef *ref, FSSpec *spec);
/// The FSRef of `name` in folder `dirID` of volume `volRefNum`; a null name
/// names the folder itself.
OSErr FSMakeFSRef(FSVolumeRefNum volRefNum, SInt32 dirID, ConstStr255Param name,
                  FSRef *ref);
/// The FSSpec of a path (symbolic links in it followed); `isDirectory` may be
/// null.  The path's status comes back with all 32 bits.
OSStatus FSPathMakeFSSpec(const UInt8 *path, FSSpec *spec, Boolean *isDirectory);
/// A UTF-16 name as a one-byte HFS name (31 bytes at most, 27 for a volume
/// name) in `textEncodingHint`'s encoding; kTextEncodingUnknown asks for the
/// system script's.  `hfsName` is empty after any failure.
OSErr UnicodeNameGetHFSName(UniCharCount nameLength, const UniChar *name,
                            TextEncoding textEncodingHint, Boolean isVolumeName,
                            Str31 hfsName);
/// A one-byte HFS name as UTF-16 (canonically decomposed); `unicodeName` is
/// empty after any failure.
OSErr HFSNameGetUnicodeName(ConstStr31Param hfsName, TextEncoding textEncodingHint,
                            HFSUniStr255 *unicodeName);
/// True when `ref` names an object that is still there.
Boolean FSRefValid(const FSRef *ref);
/// The parent folder's FSRef; 80 zero bytes for a volume's root.
OSErr FSGetParentRef(const FSRef *ref, FSRef *parentRef);
/// The object's name.
OSErr FSGetFileDirName(const FSRef *ref, HFSUniStr255 *outName);
/// The object's node ID and whether it is a folder; either may be null.
OSErr FSGetNodeID(const FSRef *ref, SInt32 *nodeID, Boolean *isDirectory);
/// A user or group ID as a name (`objType` kOwnerID2Name or kGroupID2Name).
OSErr FSMapID(FSVolumeRefNum volRefNum, SInt32 ugID, SInt16 objType, Str31 name);
/// A user or group name as an ID (`objType` kOwnerName2ID or kGroupName2ID).
OSErr FSMapName(FSVolumeRefNum volRefNum, ConstStr255Param name, SInt16 objType,
                SInt32 *ugID);
/// The file's ID, made when it has none.  A file that has one already
/// answers fidExists (afpIDExists on a server) and still gives the ID.
OSErr FSCreateFileIDRef(const FSRef *ref, SInt32 *fileID);
/// The FSRef of the file an open fork belongs to.
OSErr FileRefNumGetFSRef(FSIORefNum refNum, FSRef *ref);
/// The path of `name` in folder `dirID` of `volRefNum`, NUL-terminated, in
/// a buffer of `maxPathSize` bytes.
OSStatus FSMakePath(FSVolumeRefNum volRefNum, SInt32 dirID, ConstStr255Param name,
                    UInt8 *path, UInt32 maxPathSize);
/// The FSRef of the file with ID `fileID` on `volRefNum`.
OSErr FSResolveFileIDRef(FSVolumeRefNum volRefNum, SInt32 fileID, FSRef *ref);

// --- Catalog information and Finder flags ------------------------------------

/// fLckdErr for a locked object, else wPrErr for a volume locked by
/// hardware, else vLckdErr for one locked by software, else noErr.
OSErr FSCheckLock(const FSRef *ref);
/// A file's data and resource fork logical sizes; notAFileErr for a folder.
OSErr FSGetForkSizes(const FSRef *ref, UInt64 *dataLogicalSize, UInt64 *rsrcLogicalSize);
/// Totals over every fork of a file.  The outputs are zeroed first and keep
/// the sums of the forks already counted when a fork cannot be read.
OSErr FSGetTotalForkSizes(const FSRef *ref, UInt64 *totalLogicalSize,
                          UInt64 *totalPhysicalSize, ItemCount *forkCount);
/// Gives the object a content modification date that differs from the one
/// it has (now, or one second later), then tells the folder it changed.  A
/// date that cannot be written is reported, and then no one is told.
OSErr FSBumpDate(const FSRef *ref);
/// Changes a file's creator and type; 0 keeps the code that is there.
OSErr FSChangeCreatorType(const FSRef *ref, OSType fileCreator, OSType fileType);
/// Sets (`setBits` true) or clears the Finder flags of `flagBits`.
OSErr FSChangeFinderFlags(const FSRef *ref, Boolean setBits, UInt16 flagBits);
OSErr FSSetInvisible(const FSRef *ref);
OSErr FSClearInvisible(const FSRef *ref);
OSErr FSSetNameLocked(const FSRef *ref);
OSErr FSClearNameLocked(const FSRef *ref);
OSErr FSSetIsStationery(const FSRef *ref);
OSErr FSClearIsStationery(const FSRef *ref);
OSErr FSSetHasCustomIcon(const FSRef *ref);
OSErr FSClearHasCustomIcon(const FSRef *ref);
OSErr FSClearHasBeenInited(const FSRef *ref);
/// Copies the settable catalog information of `sourceRef` onto `destRef`,
/// the lock only when `copyLockBit` is true.
OSErr FSCopyFileMgrAttributes(const FSRef *sourceRef, const FSRef *destRef,
                              Boolean copyLockBit);
/// The caller's privileges byte and the object's permissions; either may be
/// null.
OSErr FSGetUserPrivilegesPermissions(const FSRef *ref, UInt8 *userPrivileges,
                                     FSPermissionInfo *permissions);
/// Finder information, extended Finder information and whether the object
/// is a folder; each may be null.
OSErr FSGetFinderInfo(const FSRef *ref, FinderInfo *info, ExtendedFinderInfo *extendedInfo,
                      Boolean *isDirectory);
/// Writes the Finder information and extended Finder information that are
/// given (not null).
OSErr FSSetFinderInfo(const FSRef *ref, const FinderInfo *info,
                      const ExtendedFinderInfo *extendedInfo);
/// A folder's owner, group and access rights; each may be null.
OSErr FSGetDirAccess(const FSRef *ref, SInt32 *ownerID, SInt32 *groupID,
                     SInt32 *accessRights);
/// Gives a folder an owner, a group and access rights (only the search,
/// read and write bits of owner, group and everyone, and bit 28, are used).
OSErr FSSetDirAccess(const FSRef *ref, SInt32 ownerID, SInt32 groupID, SInt32 accessRights);

// --- Volumes, mounting and the default folder --------------------------------

/// Up to `bufferSize` bytes of the volume's parameters; `actualInfoSize`
/// receives the bytes written.
OSErr FSGetVolParms(FSVolumeRefNum volRefNum, UInt32 bufferSize,
                    GetVolParmsInfoBuffer *volParmsInfo, UInt32 *actualInfoSize);
/// The volume the object is on.
OSErr FSGetVRefNum(const FSRef *ref, FSVolumeRefNum *vRefNum);
/// A volume's name, free and total bytes; each may be null.
OSErr FSGetVInfo(FSVolumeRefNum volume, HFSUniStr255 *volumeName, UInt64 *freeBytes,
                 UInt64 *totalBytes);
/// A volume's file-system ID and signature; either may be null.
OSErr FSGetVolFileSystemID(FSVolumeRefNum volume, UInt16 *fileSystemID, UInt16 *signature);
/// A new handle holding the root FSRef of every mounted volume, in volume
/// index order, and their count.  The caller disposes of the handle.
OSErr FSGetMountedVolumes(FSRef ***volumeRefsHandle, ItemCount *numVolumes);
/// The size of the volume's mount record.
OSErr FSGetVolMountInfoSize(FSVolumeRefNum volRefNum, SInt16 *size);
/// The volume's mount record, into a buffer of the size reported above.
OSErr FSGetVolMountInfo(FSVolumeRefNum volRefNum, void *volMountInfo);
/// Mounts the volume a mount record describes.
OSErr FSVolumeMount(const void *volMountInfo, FSVolumeRefNum *volRefNum);
/// Makes `newDefault` the default folder and gives the previous one.
OSErr FSSetDefault(const FSRef *newDefault, FSRef *oldDefault);
/// Makes `oldDefault` (as FSSetDefault gave it) the default folder again.
OSErr FSRestoreDefault(const FSRef *oldDefault);

// --- Copying forks and files ---------------------------------------------------

/// Copies the whole of open fork `srcRefNum` into open fork `dstRefNum`
/// (which takes the source's size) through the caller's buffer.  A copy that
/// fails leaves the destination holding the bytes copied and nothing after
/// them, so it never looks complete.  A source that turns out shorter than
/// it was when the copy began (cut short meanwhile) gives eofErr; one that
/// grows is copied to the end the reads find.
OSErr FSCopyFork(FSIORefNum srcRefNum, FSIORefNum dstRefNum, void *copyBufferPtr,
                 ByteCount copyBufferSize);
/// Locks `rangeLength` bytes of an open fork from `rangeStart`.
OSErr FSLockRange(FSIORefNum refNum, SInt32 rangeLength, SInt32 rangeStart);
/// Unlocks a range locked with FSLockRange.
OSErr FSUnlockRange(FSIORefNum refNum, SInt32 rangeLength, SInt32 rangeStart);
/// Has the file system copy a file into a folder, under `copyName` when it
/// is not null; `newRef`, when not null, receives the copy's FSRef.
OSErr FSCopyFile(const FSRef *srcFileRef, const FSRef *dstDirectoryRef,
                 UniCharCount nameLength, const UniChar *copyName,
                 TextEncoding textEncodingHint, FSRef *newRef);

// --- Walking, deleting and listing folders -------------------------------------

/// Called for every item of a walk, folders before their contents; true
/// ends the walk.  The records belong to the walk and change with each item;
/// `spec` and `name` are null unless they were asked for.
typedef Boolean (*ContainerItemFilterProc)(Boolean containerChanged, ItemCount currentLevel,
                                           const FSCatalogInfo *catalogInfo,
                                           const FSRef *ref, const FSSpec *spec,
                                           const HFSUniStr255 *name, void *yourDataPtr);
/// Walks the tree under `container` depth first, to `maxLevels` levels (0:
/// all), giving each item's catalog information (`whichInfo`, node flags
/// always) to `iterateFilter`.
OSErr FSIterateContainer(const FSRef *container, ItemCount maxLevels,
                         FSCatalogInfoBitmap whichInfo, Boolean wantFSSpec, Boolean wantName,
                         ContainerItemFilterProc iterateFilter, void *yourDataPtr);
/// Deletes everything inside a folder, unlocking locked items; the folder
/// stays.
OSErr FSDeleteContainerContents(const FSRef *container);
/// Deletes a folder and everything inside it; dirNFErr for a file.
OSErr FSDeleteContainer(const FSRef *container);
/// A new handle holding the FSRefs of a folder's items and their count;
/// `containerChanged` tells whether the folder changed while it was read.
/// The caller disposes of the handle.
OSErr FSGetDirectoryItems(const FSRef *container, FSRef ***refsHandle, ItemCount *numRefs,
                          Boolean *containerChanged);

// --- Move, rename and exchange ---------------------------------------------------

/// Moves an object into `destDirectory` (same volume) and renames it to
/// `name` (null: keeps its name), undoing what was done when a step fails.
/// `newRef` (required) receives the object's reference in every case.
OSErr FSMoveRenameObjectUnicode(const FSRef *ref, const FSRef *destDirectory,
                                UniCharCount nameLength, const UniChar *name,
                                TextEncoding textEncodingHint, FSRef *newRef);
/// The same in one call of the file system, where the volume offers it
/// (else paramErr); `newRef` may be null.
OSErr FSMoveRename(const FSRef *ref, const FSRef *destDirectory, UniCharCount nameLength,
                   const UniChar *name, TextEncoding textEncodingHint, FSRef *newRef);
/// Exchanges the contents of two files of one volume, natively where the
/// volume can, else by trading names, places and catalog information, undone
/// on failure.  The out references name the files at the source's and the
/// destination's places afterwards.
OSErr FSExchangeObjectsCompat(const FSRef *sourceRef, const FSRef *destRef,
                              FSRef *newSourceRef, FSRef *newDestRef);

#ifdef __cplusplus
}
#endif

#endif
