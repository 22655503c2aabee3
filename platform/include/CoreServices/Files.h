// The File Manager: records, constants and calls on file system objects,
// their catalog information, iterators and forks.
//
// Records keep the platform's field names and order and are packed to 2-byte
// alignment as the platform's are, so code written for the platform builds
// against them unchanged.  An FSRef is a plain 80-byte value: copy it,
// compare it with FSCompareFSRefs, never free it.
#ifndef QUILLMATE_FILES_H
#define QUILLMATE_FILES_H

#include <MacTypes.h>
#include <CoreServices/MacErrors.h>
#include <CoreServices/TextCommon.h>
#if __has_include(<CoreServices/UTCUtils.h>)
#include <CoreServices/UTCUtils.h>
#define QUILLMATE_HAS_UTCDATETIME 1
#endif

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 2)

/// Reference number of an open fork.
typedef SInt16 FSIORefNum;
/// Volume reference number: negative for a mounted volume, 0 for the default.
typedef SInt16 FSVolumeRefNum;
typedef UInt32 FSCatalogInfoBitmap;
typedef OptionBits FSIteratorFlags;
typedef struct OpaqueFSIterator *FSIterator;
typedef unsigned char StrFileName[64];
typedef const unsigned char *ConstStrFileNameParam;

struct FSRef {
  UInt8 hidden[80];
};
typedef struct FSRef FSRef;
typedef FSRef *FSRefPtr;

struct FSSpec {
  FSVolumeRefNum vRefNum;
  SInt32 parID;
  StrFileName name; // a Pascal string of at most 63 bytes
};
typedef struct FSSpec FSSpec;
typedef FSSpec *FSSpecPtr;

#ifndef QUILLMATE_HAS_UTCDATETIME
/// Seconds since 1904-01-01 00:00 UTC (48 bits) and 1/65536 fractions.
struct UTCDateTime {
  UInt16 highSeconds;
  UInt32 lowSeconds;
  UInt16 fraction;
};
typedef struct UTCDateTime UTCDateTime;
#endif

struct HFSUniStr255 {
  UInt16 length;
  UniChar unicode[255];
};
typedef struct HFSUniStr255 HFSUniStr255;
typedef const HFSUniStr255 *ConstHFSUniStr255Param;

/// Owner, group and mode of an object.  `mode` is the full POSIX mode,
/// file type bits included.
struct FSPermissionInfo {
  UInt32 userID;
  UInt32 groupID;
  UInt8 reserved1;
  UInt8 userAccess;
  UInt16 mode;
  UInt32 reserved2;
};
typedef struct FSPermissionInfo FSPermissionInfo;

struct FSCatalogInfo {
  UInt16 nodeFlags;
  FSVolumeRefNum volume;
  UInt32 parentDirID;
  UInt32 nodeID;
  UInt8 sharingFlags;
  UInt8 userPrivileges;
  UInt8 reserved1;
  UInt8 reserved2;
  UTCDateTime createDate;
  UTCDateTime contentModDate;
  UTCDateTime attributeModDate;
  UTCDateTime accessDate;
  UTCDateTime backupDate;
  FSPermissionInfo permissions; // 16 bytes, as UInt32[4] on older ABIs
  UInt8 finderInfo[16];
  UInt8 extFinderInfo[16];
  UInt64 dataLogicalSize;
  UInt64 dataPhysicalSize;
  UInt64 rsrcLogicalSize;
  UInt64 rsrcPhysicalSize;
  UInt32 valence;
  TextEncoding textEncodingHint;
};
typedef struct FSCatalogInfo FSCatalogInfo;
typedef FSCatalogInfo *FSCatalogInfoPtr;

struct Point {
  SInt16 v;
  SInt16 h;
};
typedef struct Point Point;
struct Rect {
  SInt16 top, left, bottom, right;
};
typedef struct Rect Rect;

/// The 16 bytes of `finderInfo` for a file.
struct FileInfo {
  OSType fileType;
  OSType fileCreator;
  UInt16 finderFlags;
  Point location;
  UInt16 reservedField;
};
typedef struct FileInfo FileInfo;
/// The 16 bytes of `finderInfo` for a folder.
struct FolderInfo {
  Rect windowBounds;
  UInt16 finderFlags;
  Point location;
  UInt16 reservedField;
};
typedef struct FolderInfo FolderInfo;

/// The 16 bytes of `extFinderInfo` for a file.
struct ExtendedFileInfo {
  SInt16 reserved1[4];
  UInt16 extendedFinderFlags;
  SInt16 reserved2;
  SInt32 putAwayFolderID;
};
typedef struct ExtendedFileInfo ExtendedFileInfo;
/// The 16 bytes of `extFinderInfo` for a folder.
struct ExtendedFolderInfo {
  Point scrollPosition;
  SInt32 reserved1;
  UInt16 extendedFinderFlags;
  SInt16 reserved2;
  SInt32 putAwayFolderID;
};
typedef struct ExtendedFolderInfo ExtendedFolderInfo;

/// Fork iterator of FSIterateForks: set `initialize` to 0 before the first call.
struct CatPositionRec {
  SInt32 initialize;
  SInt16 priv[6];
};
typedef struct CatPositionRec CatPositionRec;

struct FSForkInfo {
  SInt8 flags;
  SInt8 permissions;
  FSVolumeRefNum volume;
  UInt32 reserved2;
  UInt32 nodeID;
  UInt32 forkID;
  UInt64 currentPosition;
  UInt64 logicalEOF;
  UInt64 physicalEOF;
  UInt64 process;
};
typedef struct FSForkInfo FSForkInfo;

// ---------------------------------------------------------------------------
// Parameter blocks.  Only the fields that callers of this layer set or read
// are kept; every block starts with the common header.

typedef struct ParamBlockHeader ParamBlockHeader;
typedef void (*IOCompletionUPP)(void *paramBlock);

#define QUILLMATE_PB_HEADER                                                    \
  void *qLink;                                                                 \
  SInt16 qType;                                                                \
  SInt16 ioTrap;                                                               \
  Ptr ioCmdAddr;                                                               \
  IOCompletionUPP ioCompletion;                                                \
  volatile OSErr ioResult;                                                     \
  StringPtr ioNamePtr;                                                         \
  FSVolumeRefNum ioVRefNum;

/// Block of the FSRef-based parameter-block calls.
struct FSRefParam {
  QUILLMATE_PB_HEADER
  SInt16 reserved1;
  UInt8 reserved2;
  UInt8 reserved3;
  const FSRef *ref;
  FSCatalogInfoBitmap whichInfo;
  FSCatalogInfo *catInfo;
  UniCharCount nameLength;
  const UniChar *name;
  SInt32 ioDirID;
  FSSpec *spec;
  FSRef *parentRef;
  FSRef *newRef;
  TextEncoding textEncodingHint;
  HFSUniStr255 *outName;
};
typedef struct FSRefParam FSRefParam;
typedef FSRefParam *FSRefParamPtr;

/// I/O on an open fork (range locks).
struct IOParam {
  QUILLMATE_PB_HEADER
  FSIORefNum ioRefNum;
  SInt8 ioVersNum;
  SInt8 ioPermssn;
  Ptr ioMisc;
  Ptr ioBuffer;
  SInt32 ioReqCount;
  SInt32 ioActCount;
  SInt16 ioPosMode;
  SInt32 ioPosOffset;
};
typedef struct IOParam IOParam;

union ParamBlockRec {
  IOParam ioParam;
};
typedef union ParamBlockRec ParamBlockRec;
typedef ParamBlockRec *ParmBlkPtr;

/// Volume-level and I/O calls addressed by volume, directory and name.
struct HIOParam {
  QUILLMATE_PB_HEADER
  FSIORefNum ioRefNum;
  SInt8 ioVersNum;
  SInt8 ioPermssn;
  Ptr ioMisc;
  Ptr ioBuffer;
  SInt32 ioReqCount;
  SInt32 ioActCount;
  SInt16 ioPosMode;
  SInt32 ioPosOffset;
};
typedef struct HIOParam HIOParam;

struct AccessParam {
  QUILLMATE_PB_HEADER
  SInt16 filler3;
  SInt16 ioDenyModes;
  SInt16 filler4;
  SInt8 filler5;
  SInt8 ioACUser;
  SInt32 filler6;
  SInt32 ioACOwnerID;
  SInt32 ioACGroupID;
  SInt32 ioACAccess;
  SInt32 ioDirID;
};
typedef struct AccessParam AccessParam;

struct ObjParam {
  QUILLMATE_PB_HEADER
  SInt16 filler7;
  SInt16 ioObjType;
  StringPtr ioObjNamePtr;
  SInt32 ioObjID;
};
typedef struct ObjParam ObjParam;

struct CopyParam {
  QUILLMATE_PB_HEADER
  SInt16 ioDstVRefNum;
  SInt16 filler8;
  StringPtr ioNewName;
  StringPtr ioCopyName;
  SInt32 ioNewDirID;
  SInt32 filler14;
  SInt32 filler15;
  SInt32 ioDirID;
};
typedef struct CopyParam CopyParam;

struct FIDParam {
  QUILLMATE_PB_HEADER
  SInt32 filler14;
  StringPtr ioDestNamePtr;
  SInt32 filler15;
  SInt32 ioDestDirID;
  SInt32 filler16;
  SInt32 filler17;
  SInt32 ioSrcDirID;
  SInt16 filler18;
  SInt32 ioFileID;
};
typedef struct FIDParam FIDParam;

struct CSParam {
  QUILLMATE_PB_HEADER
  FSSpecPtr ioMatchPtr;
  SInt32 ioReqMatchCount;
  SInt32 ioActMatchCount;
  SInt32 ioSearchBits;
  void *ioSearchInfo1;
  void *ioSearchInfo2;
  SInt32 ioSearchTime;
  void *ioCatPosition;
  Ptr ioOptBuffer;
  SInt32 ioOptBufSize;
};
typedef struct CSParam CSParam;

union HParamBlockRec {
  HIOParam ioParam;
  AccessParam accessParam;
  ObjParam objParam;
  CopyParam copyParam;
  FIDParam fidParam;
  CSParam csParam;
};
typedef union HParamBlockRec HParamBlockRec;
typedef HParamBlockRec *HParmBlkPtr;

/// Catalog calls addressed by volume, directory and name.
struct HFileInfo {
  QUILLMATE_PB_HEADER
  FSIORefNum ioFRefNum;
  SInt8 ioFVersNum;
  SInt8 filler1;
  SInt16 ioFDirIndex;
  SInt8 ioFlAttrib;
  SInt8 ioACUser;
  FileInfo ioFlFndrInfo;
  SInt32 ioDirID;
  UInt16 ioFlStBlk;
  SInt32 ioFlLgLen;
  SInt32 ioFlPyLen;
  UInt16 ioFlRStBlk;
  SInt32 ioFlRLgLen;
  SInt32 ioFlRPyLen;
  UInt32 ioFlCrDat;
  UInt32 ioFlMdDat;
  UInt32 ioFlBkDat;
  UInt8 ioFlXFndrInfo[16];
  SInt32 ioFlParID;
  SInt32 ioFlClpSiz;
};
typedef struct HFileInfo HFileInfo;

union CInfoPBRec {
  HFileInfo hFileInfo;
};
typedef union CInfoPBRec CInfoPBRec;
typedef CInfoPBRec *CInfoPBPtr;

#undef QUILLMATE_PB_HEADER

// ---------------------------------------------------------------------------
// Volumes.

typedef UInt32 FSVolumeInfoBitmap;

struct FSVolumeInfo {
  UTCDateTime createDate;
  UTCDateTime modifyDate;
  UTCDateTime backupDate;
  UTCDateTime checkedDate;
  UInt32 fileCount;
  UInt32 folderCount;
  UInt64 totalBytes;
  UInt64 freeBytes;
  UInt32 blockSize;
  UInt32 totalBlocks;
  UInt32 freeBlocks;
  UInt32 nextAllocation;
  UInt32 rsrcClumpSize;
  UInt32 dataClumpSize;
  UInt32 nextCatalogID;
  UInt8 finderInfo[32];
  UInt16 flags;
  UInt16 filesystemID;
  UInt16 signature;
  UInt16 driveNumber;
  SInt16 driverRefNum;
};
typedef struct FSVolumeInfo FSVolumeInfo;
typedef FSVolumeInfo *FSVolumeInfoPtr;

/// What PBHGetVolParmsSync answers; a caller may pass a shorter buffer and
/// gets the leading fields (ioActCount tells how many bytes).  Fields after
/// `vMVolumeGrade` exist from the version noted.
struct GetVolParmsInfoBuffer {
  SInt16 vMVersion;
  SInt32 vMAttrib;             // bHas... bits
  Handle vMLocalHand;
  SInt32 vMServerAdr;
  SInt32 vMVolumeGrade;
  SInt16 vMForeignPrivID;      // version 2
  SInt32 vMExtendedAttributes; // version 3: bIs... / bSupports... bits
  void *vMDeviceID;            // version 4
  UniCharCount vMMaxNameLength; // version 4
};
typedef struct GetVolParmsInfoBuffer GetVolParmsInfoBuffer;

typedef OSType VolumeType;
/// Every volume mount record starts with this header; `length` counts the
/// whole record.  The rest of a record of this layer is described in the
/// documentation of PBGetVolMountInfo.
struct VolumeMountInfoHeader {
  SInt16 length;
  VolumeType media;
  SInt16 flags;
};
typedef struct VolumeMountInfoHeader VolumeMountInfoHeader;
typedef VolumeMountInfoHeader *VolumeMountInfoHeaderPtr;

#pragma pack(pop)

// ---------------------------------------------------------------------------
// Constants.

enum {
  fsRtParID = 1,
  fsRtDirID = 2
};

enum {
  kFSCatInfoNone = 0x00000000,
  kFSCatInfoTextEncoding = 0x00000001,
  kFSCatInfoNodeFlags = 0x00000002,
  kFSCatInfoVolume = 0x00000004,
  kFSCatInfoParentDirID = 0x00000008,
  kFSCatInfoNodeID = 0x00000010,
  kFSCatInfoCreateDate = 0x00000020,
  kFSCatInfoContentMod = 0x00000040,
  kFSCatInfoAttrMod = 0x00000080,
  kFSCatInfoAccessDate = 0x00000100,
  kFSCatInfoBackupDate = 0x00000200,
  kFSCatInfoPermissions = 0x00000400,
  kFSCatInfoFinderInfo = 0x00000800,
  kFSCatInfoFinderXInfo = 0x00001000,
  kFSCatInfoValence = 0x00002000,
  kFSCatInfoDataSizes = 0x00004000,
  kFSCatInfoRsrcSizes = 0x00008000,
  kFSCatInfoSharingFlags = 0x00010000,
  kFSCatInfoUserPrivs = 0x00020000,
  kFSCatInfoUserAccess = 0x00080000,
  kFSCatInfoAllDates = 0x000003E0,
  kFSCatInfoGettableInfo = 0x0003FFFF,
  kFSCatInfoSettableInfo = 0x00001FE3
};

enum {
  kFSNodeLockedMask = 0x0001,
  kFSNodeResOpenMask = 0x0004,
  kFSNodeDataOpenMask = 0x0008,
  kFSNodeIsDirectoryMask = 0x0010,
  kFSNodeCopyProtectMask = 0x0040,
  kFSNodeForkOpenMask = 0x0080,
  kFSNodeHardLinkMask = 0x0100
};

enum {
  kFSIterateFlat = 0,
  kFSIterateSubtree = 1,
  kFSIterateDelete = 2,
  kFSIterateReserved = 0xFFFFFFFC
};

enum {
  fsAtMark = 0,
  fsFromStart = 1,
  fsFromLEOF = 2,
  fsFromMark = 3,
  pleaseCacheMask = 0x0010,
  noCacheMask = 0x0020
};

enum {
  fsCurPerm = 0,
  fsRdPerm = 1,
  fsWrPerm = 2,
  fsRdWrPerm = 3,
  fsRdWrShPerm = 4
};

enum {
  kIsOnDesk = 0x0001,
  kColor = 0x000E,
  kIsShared = 0x0040,
  kHasNoINITs = 0x0080,
  kHasBeenInited = 0x0100,
  kHasCustomIcon = 0x0400,
  kIsStationery = 0x0800,
  kNameLocked = 0x1000,
  kHasBundle = 0x2000,
  kIsInvisible = 0x4000,
  kIsAlias = 0x8000
};

enum {
  kioACUserNoSeeFolderMask = 0x01,
  kioACUserNoSeeFilesMask = 0x02,
  kioACUserNoMakeChangesMask = 0x04,
  kioACUserNotOwnerMask = 0x80
};

enum {
  kFSVolInfoNone = 0x0000,
  kFSVolInfoCreateDate = 0x0001,
  kFSVolInfoModDate = 0x0002,
  kFSVolInfoBackupDate = 0x0004,
  kFSVolInfoCheckedDate = 0x0008,
  kFSVolInfoFileCount = 0x0010,
  kFSVolInfoDirCount = 0x0020,
  kFSVolInfoSizes = 0x0040,
  kFSVolInfoBlocks = 0x0080,
  kFSVolInfoNextAlloc = 0x0100,
  kFSVolInfoRsrcClump = 0x0200,
  kFSVolInfoDataClump = 0x0400,
  kFSVolInfoNextID = 0x0800,
  kFSVolInfoFinderInfo = 0x1000,
  kFSVolInfoFlags = 0x2000,
  kFSVolInfoFSInfo = 0x4000,
  kFSVolInfoDriveInfo = 0x8000,
  kFSVolInfoGettableInfo = 0xFFFF
};

enum {
  kFSInvalidVolumeRefNum = 0
};

enum {
  kFSVolFlagDefaultVolumeMask = 0x0020,
  kFSVolFlagFilesOpenMask = 0x0040,
  kFSVolFlagHardwareLockedMask = 0x0080,
  kFSVolFlagJournalingActiveMask = 0x4000,
  kFSVolFlagSoftwareLockedMask = 0x8000
};

/// Bit numbers of GetVolParmsInfoBuffer.vMAttrib.
enum {
  bAccessCntl = 18,
  bNoSysDir = 17,
  bHasExtFSVol = 16,
  bHasOpenDeny = 15,
  bHasCopyFile = 14,
  bHasMoveRename = 13,
  bHasDesktopMgr = 12,
  bHasShortName = 11,
  bHasFolderLock = 10,
  bHasPersonalAccessPrivileges = 9,
  bHasUserGroupList = 8,
  bHasCatSearch = 7,
  bHasFileIDs = 6,
  bHasBlankAccessPrivileges = 4,
  bSupportsAsyncRequests = 3
};

/// Bit numbers of GetVolParmsInfoBuffer.vMExtendedAttributes.
enum {
  bIsEjectable = 0,
  bSupportsHFSPlusAPIs = 1,
  bSupportsFSCatalogSearch = 2,
  bSupportsFSExchangeObjects = 3,
  bSupports2TBFiles = 4,
  bSupportsLongNames = 5,
  bSupportsMultiScriptNames = 6,
  bSupportsNamedForks = 7,
  bSupportsSubtreeIterators = 8,
  bSupportsSymbolicLinks = 13,
  bSupportsExclusiveLocks = 18,
  bSupportsJournaling = 19,
  bIsCaseSensitive = 22,
  bIsCasePreserving = 23
};

/// ioObjType of PBHMapIDSync / PBHMapNameSync.
enum {
  kOwnerID2Name = 1,
  kGroupID2Name = 2,
  kOwnerName2ID = 3,
  kGroupName2ID = 4
};

typedef UInt32 FNMessage;
enum {
  kFNDirectoryModifiedMessage = 1
};

// ---------------------------------------------------------------------------
// Calls.  Status codes are the platform's (MacErrors.h).

/// Reads the fields of `whichInfo` into `catalogInfo`, and the name, FSSpec
/// and parent reference where those pointers are not null.  Only requested
/// outputs are written.  With nothing asked, it validates `ref`.
OSErr FSGetCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                       FSCatalogInfo *catalogInfo, HFSUniStr255 *outName,
                       FSSpec *fsSpec, FSRef *parentRef);
/// Writes the settable fields of `whichInfo` (kFSCatInfoSettableInfo).
OSErr FSSetCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                       const FSCatalogInfo *catalogInfo);

OSErr FSMakeFSRefUnicode(const FSRef *parentRef, UniCharCount nameLength,
                         const UniChar *name, TextEncoding textEncodingHint,
                         FSRef *newRef);
/// `ref` + `nameLength`/`name` -> `newRef`.
OSErr PBMakeFSRefUnicodeSync(FSRefParam *paramBlock);
/// `ioVRefNum` + `ioDirID` + one-byte `ioNamePtr` (null or empty: the
/// folder itself) -> `newRef`.
OSErr PBMakeFSRefSync(FSRefParam *paramBlock);
/// Follows symbolic links in `path`, as the platform does.
OSStatus FSPathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory);
/// A NUL-terminated UTF-8 path; errFSNameTooLong when it does not fit.
OSStatus FSRefMakePath(const FSRef *ref, UInt8 *path, UInt32 pathBufferSize);
/// noErr for two references to one object, errFSRefsDifferent otherwise.
OSErr FSCompareFSRefs(const FSRef *ref1, const FSRef *ref2);

OSErr FSCreateFileUnicode(const FSRef *parentRef, UniCharCount nameLength,
                          const UniChar *name, FSCatalogInfoBitmap whichInfo,
                          const FSCatalogInfo *catalogInfo, FSRef *newRef,
                          FSSpec *newSpec);
OSErr FSCreateDirectoryUnicode(const FSRef *parentRef, UniCharCount nameLength,
                               const UniChar *name,
                               FSCatalogInfoBitmap whichInfo,
                               const FSCatalogInfo *catalogInfo, FSRef *newRef,
                               FSSpec *newSpec, UInt32 *newDirID);
/// A folder that is not empty gives fBsyErr.
OSErr FSDeleteObject(const FSRef *ref);
/// Same volume only; into the object's own subtree gives badMovErr.
OSErr FSMoveObject(const FSRef *ref, const FSRef *destDirectory, FSRef *newRef);
/// Swaps the two files' contents (both forks) and content dates; names,
/// references, IDs, creation dates, Finder information, lock state,
/// permissions and owner stay with the places.
OSErr FSExchangeObjects(const FSRef *ref, const FSRef *destRef);
/// Never replaces an existing object (dupFNErr).
OSErr FSRenameUnicode(const FSRef *ref, UniCharCount nameLength,
                      const UniChar *name, TextEncoding textEncodingHint,
                      FSRef *newRef);

OSErr FSOpenIterator(const FSRef *container, FSIteratorFlags iteratorFlags,
                     FSIterator *iterator);
OSErr FSCloseIterator(FSIterator iterator);
/// Up to `maximumObjects` items per call; errFSNoMoreItems at the end,
/// possibly together with items.
OSErr FSGetCatalogInfoBulk(FSIterator iterator, ItemCount maximumObjects,
                           ItemCount *actualObjects, Boolean *containerChanged,
                           FSCatalogInfoBitmap whichInfo,
                           FSCatalogInfo *catalogInfos, FSRef *refs,
                           FSSpec *specs, HFSUniStr255 *names);

/// Opens the data fork (empty name) or the resource fork ("RESOURCE_FORK")
/// of a file.  Folders give notAFileErr; FIFOs, devices and symbolic links
/// permErr (never a blocked open); a locked file refuses write access.
OSErr FSOpenFork(const FSRef *ref, UniCharCount forkNameLength,
                 const UniChar *forkName, SInt8 permissions,
                 FSIORefNum *forkRefNum);
OSErr FSCloseFork(FSIORefNum forkRefNum);
/// Reads at the position given by `positionMode` (fsAtMark, fsFromStart,
/// fsFromLEOF, fsFromMark, plus noCacheMask / pleaseCacheMask) and moves the
/// mark past the bytes read; eofErr with the bytes actually read when the end
/// comes first.
OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode,
                 SInt64 positionOffset, ByteCount requestCount, void *buffer,
                 ByteCount *actualCount);
OSErr FSWriteFork(FSIORefNum forkRefNum, UInt16 positionMode,
                  SInt64 positionOffset, ByteCount requestCount,
                  const void *buffer, ByteCount *actualCount);
OSErr FSGetForkSize(FSIORefNum forkRefNum, SInt64 *forkSize);
OSErr FSSetForkSize(FSIORefNum forkRefNum, UInt16 positionMode,
                    SInt64 positionOffset);
OSErr FSGetForkPosition(FSIORefNum forkRefNum, SInt64 *position);
OSErr FSSetForkPosition(FSIORefNum forkRefNum, UInt16 positionMode,
                        SInt64 positionOffset);
/// An open fork by number (`desiredRefNum` nonzero), or the next one after
/// `*iterator` on `volume` (0: every volume).
OSErr FSGetForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum volume,
                      SInt16 *iterator, FSIORefNum *actualRefNum,
                      FSForkInfo *forkInfo, FSRef *ref,
                      HFSUniStr255 *outForkName);
/// Each fork of a file that exists, then errFSNoMoreItems.  Set
/// `forkIterator->initialize` to 0 before the first call.
OSErr FSIterateForks(const FSRef *ref, CatPositionRec *forkIterator,
                     HFSUniStr255 *forkName, SInt64 *forkSize,
                     UInt64 *forkPhysicalSize);
/// Locks `ioReqCount` bytes at `ioPosMode`/`ioPosOffset` of fork `ioRefNum`;
/// -1 locks from there to the end of the fork and beyond, 0 (or any other
/// negative count) is paramErr.  A fork open for writing locks its range
/// exclusively; a fork open for reading only locks it shared, so other
/// readers may lock the same bytes while no writer can.  A conflict gives
/// afpRangeOverlap (also for a range overlapping one the same fork holds);
/// unlocking takes exactly a range the fork locked, else afpRangeNotLocked.
OSErr PBLockRangeSync(ParmBlkPtr paramBlock);
OSErr PBUnlockRangeSync(ParmBlkPtr paramBlock);
OSErr FSGetDataForkName(HFSUniStr255 *dataForkName);
OSErr FSGetResourceForkName(HFSUniStr255 *resourceForkName);

/// Writes `*count` bytes from `buffPtr` at the fork's mark and advances the
/// mark; `*count` becomes the number of bytes written.  rfNumErr for a
/// reference number that names no open fork.
OSErr FSWrite(FSIORefNum refNum, SInt32 *count, const void *buffPtr);
/// Reads up to `*count` bytes at the mark; `*count` becomes the number read,
/// and eofErr tells that the end was reached first.
OSErr FSRead(FSIORefNum refNum, SInt32 *count, void *buffPtr);

// --- Volumes ---------------------------------------------------------------

/// A volume's fields by reference number (`volumeIndex` 0), or the
/// `volumeIndex`-th volume (1, 2, ...; `volume` ignored); nsvErr past the
/// last.  Every output pointer may be null.
OSErr FSGetVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex,
                      FSVolumeRefNum *actualVolume, FSVolumeInfoBitmap whichInfo,
                      FSVolumeInfo *info, HFSUniStr255 *volumeName,
                      FSRef *rootDirectory);
/// `ioVRefNum` -> up to `ioReqCount` bytes of a GetVolParmsInfoBuffer at
/// `ioBuffer`; `ioActCount` receives the bytes written.
OSErr PBHGetVolParmsSync(HParmBlkPtr paramBlock);
/// `ioVRefNum` -> the size of its mount record, as an SInt16 at `ioBuffer`.
OSErr PBGetVolMountInfoSize(ParmBlkPtr paramBlock);
/// `ioVRefNum` -> its mount record at `ioBuffer`, which must hold the size
/// PBGetVolMountInfoSize answered.  The record, in the machine's byte order:
/// the header (media 'qmnt', flags 0), UInt16 version 1, UInt16 0, four
/// (UInt16 offset, UInt16 length) pairs for the source, the file-system
/// type, the options (as mount(8) takes them) and the mount point, then
/// those four strings in UTF-8, each followed by a NUL.
OSErr PBGetVolMountInfo(ParmBlkPtr paramBlock);
/// Mounts the record at `ioBuffer` unless that file system is mounted at
/// its point already; `ioVRefNum` receives the volume.  paramErr for a
/// malformed record, permErr when this process may not mount.
OSErr PBVolumeMount(ParmBlkPtr paramBlock);
/// The default folder: its volume and directory ID, and the volume's name
/// when `volName` is not null.
OSErr HGetVol(StringPtr volName, FSVolumeRefNum *vRefNum, SInt32 *dirID);
/// Makes folder `dirID` of volume `vRefNum` the default (`volName` unused).
OSErr HSetVol(ConstStr63Param volName, FSVolumeRefNum vRefNum, SInt32 dirID);

// --- File IDs, users and groups, folder access ---------------------------

/// `ioVRefNum` + `ioSrcDirID` + `ioNamePtr` -> `ioFileID` (the file's node
/// ID); fidExists (with the ID) when the file already has one, notAFileErr
/// for a folder.
OSErr PBCreateFileIDRefSync(HParmBlkPtr paramBlock);
/// `ioVRefNum` + `ioFileID` -> `ioSrcDirID` and the one-byte name into
/// `ioNamePtr` (when not null).  Reaches the files this process has met;
/// fnfErr for any other ID, notAFileErr for a folder's.
OSErr PBResolveFileIDRefSync(HParmBlkPtr paramBlock);
/// `ioObjType` (kOwnerID2Name, kGroupID2Name) + `ioObjID` -> the name into
/// the Str31 at `ioObjNamePtr`.  fnfErr for an unknown ID, bdNamErr for a
/// name with no one-byte form within 31 bytes, paramErr for another type.
OSErr PBHMapIDSync(HParmBlkPtr paramBlock);
/// `ioObjType` (kOwnerName2ID, kGroupName2ID) + `ioObjNamePtr` -> `ioObjID`
/// (untouched on failure).  fnfErr for an unknown name.
OSErr PBHMapNameSync(HParmBlkPtr paramBlock);
/// Folder `ioVRefNum` + `ioDirID` + `ioNamePtr` -> `ioACOwnerID`,
/// `ioACGroupID`, `ioACAccess` (and the privileges byte in `ioACUser`);
/// afpObjectTypeErr for a file.
OSErr PBHGetDirAccessSync(HParmBlkPtr paramBlock);
/// Gives the folder owner `ioACOwnerID`, group `ioACGroupID` and the owner,
/// group and everyone rights of `ioACAccess` (its other bits are ignored);
/// fLckdErr for a locked folder, afpObjectTypeErr for a file.
OSErr PBHSetDirAccessSync(HParmBlkPtr paramBlock);

// --- Calls the file system carries out itself --------------------------------

/// Copies file `ioVRefNum` + `ioDirID` + `ioNamePtr` into folder
/// `ioDstVRefNum` + `ioNewDirID` (+ `ioNewName`, a folder name inside it),
/// named `ioCopyName` (null: the source's name).  Never replaces an object.
OSErr PBHCopyFileSync(HParmBlkPtr paramBlock);
/// Moves object `ioVRefNum` + `ioDirID` + `ioNamePtr` into folder
/// `ioNewDirID` (+ `ioNewName`) of the same volume, named `ioCopyName`
/// (null: its own name), in one step.  Never replaces an object.
OSErr PBHMoveRenameSync(HParmBlkPtr paramBlock);
/// Tells interested parties that something about `ref` changed.
OSStatus FNNotify(const FSRef *ref, FNMessage message, OptionBits flags);

#ifdef __cplusplus
}
#endif

#endif
