// Move, rename and exchange: moving an object into another folder under a new
// name as one operation that is undone when a step fails, the same in one
// call of the file system, and exchanging two files' contents natively or by
// trading their places, names and catalog information.
//
// The undoable operations pass objects through temporary names that are free
// in both folders involved, so no step can clash with an object already
// there; an undo step's own failure is ignored (there is nothing better to
// do than go on putting back what can be put back), and the operation
// answers with the failure of the step that went wrong.
#include <FileUtilities.h>

#include "files/ServerCalls.h"
#include "files/UniqueName.h"

using namespace quillmate::files;

namespace {

/// A volume's parameters: the leading 32 bytes, which hold the attribute and
/// extended attribute bits.
OSErr getVolParms(FSVolumeRefNum volume, GetVolParmsInfoBuffer &parms) {
  UInt32 actualSize;
  return FSGetVolParms(volume, 32, &parms, &actualSize);
}

bool hasBit(SInt32 bits, int bit) { return (static_cast<UInt32>(bits) >> bit) & 1; }

/// The catalog information the exchange fallback reads: what it trades, and
/// the volume and parent for its same-volume and same-folder tests.
constexpr FSCatalogInfoBitmap kExchangeReadInfo =
    kFSCatInfoTextEncoding | kFSCatInfoNodeFlags | kFSCatInfoVolume | kFSCatInfoParentDirID |
    kFSCatInfoCreateDate | kFSCatInfoAccessDate | kFSCatInfoBackupDate | kFSCatInfoPermissions |
    kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo;
/// What the two files trade.  The content and attribute modification dates
/// stay with the contents.
constexpr FSCatalogInfoBitmap kExchangedInfo =
    kExchangeReadInfo & ~(kFSCatInfoVolume | kFSCatInfoParentDirID);
static_assert(kExchangeReadInfo == 0x1F2F && kExchangedInfo == 0x1F23);

} // namespace

OSErr FSMoveRenameObjectUnicode(const FSRef *ref, const FSRef *destDirectory,
                                UniCharCount nameLength, const UniChar *name,
                                TextEncoding textEncodingHint, FSRef *newRef) {
  // The object's reference comes back in every case, so one is needed.
  if (!newRef)
    return paramErr;
  // From here on *newRef is the object's current reference; every step
  // addresses the object through it and updates it.
  *newRef = *ref;
  // Same volume only.  The object's own name, its encoding and its folder
  // are read now for the undo.
  FSCatalogInfo destInfo;
  if (OSErr result = FSGetCatalogInfo(destDirectory, kFSCatInfoVolume, &destInfo, nullptr,
                                      nullptr, nullptr))
    return result;
  FSCatalogInfo info;
  HFSUniStr255 oldName;
  FSRef oldParent;
  if (OSErr result = FSGetCatalogInfo(ref, kFSCatInfoVolume | kFSCatInfoTextEncoding, &info,
                                      &oldName, nullptr, &oldParent))
    return result;
  if (destInfo.volume != info.volume)
    return diffVolErr;
  // A move alone keeps the name and needs no temporary one.
  if (!name)
    return FSMoveObject(newRef, destDirectory, newRef);
  // Out of the way under a name free in both folders, so that neither
  // the move nor the undo can meet an object of the same name.
  SInt32 counter = kUniqueNameFirstCounter;
  HFSUniStr255 tempName;
  if (OSErr result = GenerateUniqueHFSUniStr(&counter, &oldParent, destDirectory, &tempName))
    return result;
  if (OSErr result = FSRenameUnicode(ref, tempName.length, tempName.unicode,
                                     kTextEncodingUnknown, newRef))
    return result;
  // The undo of a failed step: the old name back from the temporary one, and
  // before that, once the object has moved, the old folder back.
  auto putNameBack = [&] {
    (void)FSRenameUnicode(newRef, oldName.length, oldName.unicode, info.textEncodingHint, newRef);
  };
  auto putFolderAndNameBack = [&] {
    (void)FSMoveObject(newRef, &oldParent, newRef);
    putNameBack();
  };
  // Into the destination folder under the temporary name.
  OSErr result = FSMoveObject(newRef, destDirectory, newRef);
  if (result != noErr) {
    putNameBack();
    return result;
  }
  // The new name, given through the current reference.
  result = FSRenameUnicode(newRef, nameLength, name, textEncodingHint, newRef);
  if (result != noErr)
    putFolderAndNameBack();
  return result;
}

OSErr FSMoveRename(const FSRef *ref, const FSRef *destDirectory, UniCharCount nameLength,
                   const UniChar *name, TextEncoding textEncodingHint, FSRef *newRef) {
  // Where the object is, as the call names it (and its name, for its
  // reference when it keeps it).
  FSSpec spec;
  HFSUniStr255 ownName;
  if (OSErr result = serverCallSource(ref, spec, newRef && !name ? &ownName : nullptr))
    return result;
  // Only a volume that says it offers the call; paramErr elsewhere, before
  // anything moves.
  GetVolParmsInfoBuffer parms{};
  if (getVolParms(spec.vRefNum, parms) != noErr || !hasBit(parms.vMAttrib, bHasMoveRename))
    return paramErr;
  // Same volume only; the block names the folder by its ID.
  FSCatalogInfo destInfo;
  if (OSErr result = FSGetCatalogInfo(destDirectory, kFSCatInfoVolume | kFSCatInfoNodeID,
                                      &destInfo, nullptr, nullptr, nullptr))
    return result;
  if (destInfo.volume != spec.vRefNum)
    return diffVolErr;
  // The block names the object by its FSSpec and the folder by its ID alone.
  HParamBlockRec pb = serverCallBlock(spec, static_cast<SInt32>(destInfo.nodeID));
  // A new name, when one is given; none keeps the object's name.
  Str31 hfsName;
  if (OSErr result = setCopyName(pb.copyParam, nameLength, name, textEncodingHint, hfsName))
    return result;
  if (OSErr result = PBHMoveRenameSync(&pb))
    return result;
  // The moved object's reference, when wanted.  The object has moved, so the
  // operation has succeeded whether or not its reference could be made.
  if (newRef)
    makeResultRef(pb.copyParam, spec.vRefNum, static_cast<SInt32>(destInfo.nodeID),
                  destDirectory, ownName, newRef);
  return noErr;
}

namespace {

/// One file of an exchange by the fallback, as it was and where it is now.
struct ExchangeSide {
  FSRef current;        // follows the file through its renames and moves
  FSRef *out;           // the caller's out reference for this file
  FSCatalogInfo info;   // the file's own catalog information (kExchangeReadInfo)
  HFSUniStr255 name;    // its own name
  FSRef parent;         // its own folder
  HFSUniStr255 tempName;
};

/// Renames the file, and on success follows it.
OSErr renameSide(ExchangeSide &side, const HFSUniStr255 &name, TextEncoding hint) {
  OSErr result = FSRenameUnicode(&side.current, name.length, name.unicode, hint, side.out);
  if (result == noErr)
    side.current = *side.out;
  return result;
}

OSErr moveSide(ExchangeSide &side, const FSRef &folder) {
  OSErr result = FSMoveObject(&side.current, &folder, side.out);
  if (result == noErr)
    side.current = *side.out;
  return result;
}

OSErr restoreName(ExchangeSide &side) {
  return renameSide(side, side.name, side.info.textEncodingHint);
}

/// The undo steps of the fallback, in the order they run: a failed forward
/// step starts the undo at the first step with something to take back, and
/// every later step runs too.
enum class UndoStep {
  /// The source, already under the destination's name, goes back to its
  /// temporary name, freeing that name.
  PutSourceTemporaryNameBack,
  /// Each file takes back its own catalog information.
  PutDestinationInfoBack,
  PutSourceInfoBack,
  /// Each file goes back into its own folder (when they had two).
  PutDestinationFolderBack,
  PutSourceFolderBack,
  /// Each file takes back its own name.
  PutDestinationNameBack,
  PutSourceNameBack,
};

void undoExchange(UndoStep first, ExchangeSide &src, ExchangeSide &dst, bool sameFolder) {
  switch (first) {
  case UndoStep::PutSourceTemporaryNameBack:
    (void)renameSide(src, src.tempName, kTextEncodingUnknown);
    [[fallthrough]];
  case UndoStep::PutDestinationInfoBack:
    (void)FSSetCatalogInfo(&dst.current, kExchangedInfo, &dst.info);
    [[fallthrough]];
  case UndoStep::PutSourceInfoBack:
    (void)FSSetCatalogInfo(&src.current, kExchangedInfo, &src.info);
    [[fallthrough]];
  case UndoStep::PutDestinationFolderBack:
    if (!sameFolder)
      (void)moveSide(dst, dst.parent);
    [[fallthrough]];
  case UndoStep::PutSourceFolderBack:
    if (!sameFolder)
      (void)moveSide(src, src.parent);
    [[fallthrough]];
  case UndoStep::PutDestinationNameBack:
    (void)restoreName(dst);
    [[fallthrough]];
  case UndoStep::PutSourceNameBack:
    (void)restoreName(src);
  }
  // Each out reference names its own file, whatever a failed call left in it.
  *src.out = src.current;
  *dst.out = dst.current;
}

/// The exchange for volumes without a native one: each file goes to the
/// other's folder under the other's name and takes the other's catalog
/// information, so the contents appear exchanged.
OSErr exchangeByRenaming(ExchangeSide &src, ExchangeSide &dst) {
  // Each file as it is: what it trades, its name and its folder.
  if (OSErr result = FSGetCatalogInfo(&src.current, kExchangeReadInfo, &src.info, &src.name,
                                      nullptr, &src.parent))
    return result;
  if (OSErr result = FSGetCatalogInfo(&dst.current, kExchangeReadInfo, &dst.info, &dst.name,
                                      nullptr, &dst.parent))
    return result;
  // Two files of one volume, neither a folder.
  if (src.info.volume != dst.info.volume)
    return diffVolErr;
  if ((src.info.nodeFlags | dst.info.nodeFlags) & kFSNodeIsDirectoryMask)
    return notAFileErr;
  // Two temporary names, each free in both folders, so that no rename or
  // move below, nor any undo, can meet an object of the same name.
  SInt32 counter = kUniqueNameFirstCounter;
  if (OSErr result = GenerateUniqueHFSUniStr(&counter, &src.parent, &dst.parent, &src.tempName))
    return result;
  if (OSErr result = GenerateUniqueHFSUniStr(&counter, &src.parent, &dst.parent, &dst.tempName))
    return result;
  // The first change: nothing has changed if it fails.
  if (OSErr result = renameSide(src, src.tempName, kTextEncodingUnknown))
    return result;
  // Files of one folder need not move; the undo needs to know it from here
  // on.
  const bool sameFolder = src.info.parentDirID == dst.info.parentDirID;
  // From here on a failure undoes what was done.
  auto fail = [&](OSErr result, UndoStep first) {
    undoExchange(first, src, dst, sameFolder);
    return result;
  };
  // The destination out of the way too, freeing its name for the source.
  if (OSErr result = renameSide(dst, dst.tempName, kTextEncodingUnknown))
    return fail(result, UndoStep::PutSourceNameBack);
  // Each into the other's folder.
  if (!sameFolder) {
    if (OSErr result = moveSide(src, dst.parent))
      return fail(result, UndoStep::PutDestinationNameBack);
    if (OSErr result = moveSide(dst, src.parent))
      return fail(result, UndoStep::PutSourceFolderBack);
  }
  // Each takes the other's catalog information.  A write that fails
  // may have changed some fields already, so its undo starts with that
  // file taking back its own.
  if (OSErr result = FSSetCatalogInfo(&src.current, kExchangedInfo, &dst.info))
    return fail(result, UndoStep::PutSourceInfoBack);
  if (OSErr result = FSSetCatalogInfo(&dst.current, kExchangedInfo, &src.info))
    return fail(result, UndoStep::PutDestinationInfoBack);
  // And the other's name.
  if (OSErr result = renameSide(src, dst.name, dst.info.textEncodingHint))
    return fail(result, UndoStep::PutDestinationInfoBack);
  if (OSErr result = renameSide(dst, src.name, src.info.textEncodingHint))
    return fail(result, UndoStep::PutSourceTemporaryNameBack);
  // Each out reference names the file now at its place.
  *src.out = dst.current;
  *dst.out = src.current;
  return noErr;
}

} // namespace

OSErr FSExchangeObjectsCompat(const FSRef *sourceRef, const FSRef *destRef,
                              FSRef *newSourceRef, FSRef *newDestRef) {
  // Both out references are needed.
  if (!newSourceRef || !newDestRef)
    return paramErr;
  // Until something moves, each out reference is a copy of its input.
  ExchangeSide src{}, dst{};
  src.current = *newSourceRef = *sourceRef;
  src.out = newSourceRef;
  dst.current = *newDestRef = *destRef;
  dst.out = newDestRef;
  // Natively where the volume says it can.
  FSCatalogInfo info;
  if (OSErr result =
          FSGetCatalogInfo(sourceRef, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr))
    return result;
  GetVolParmsInfoBuffer parms{};
  if (getVolParms(info.volume, parms) == noErr && parms.vMVersion > 2 &&
      hasBit(parms.vMExtendedAttributes, bSupportsFSExchangeObjects))
    return FSExchangeObjects(sourceRef, destRef);
  return exchangeByRenaming(src, dst);
}
