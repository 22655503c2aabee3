// Parameter blocks of the calls the file system carries out by itself (copy,
// move and rename in one step): the object and the folder it goes into, the
// optional new name in one-byte form, and the reference of the object such a
// call made or moved.  Private to the library.
#ifndef QUILLMATE_FILES_SERVERCALLS_H
#define QUILLMATE_FILES_SERVERCALLS_H

#include <FileUtilities.h>

namespace quillmate::files {

/// A block naming the object `spec` names and the folder `dirID` it goes
/// into, given by its ID alone (a copy also names the folder's volume).
inline HParamBlockRec serverCallBlock(FSSpec &spec, SInt32 dirID) {
  HParamBlockRec pb{};
  pb.copyParam.ioNamePtr = spec.name;
  pb.copyParam.ioVRefNum = spec.vRefNum;
  pb.copyParam.ioDirID = spec.parID;
  pb.copyParam.ioNewDirID = dirID;
  pb.copyParam.ioNewName = nullptr;
  return pb;
}

/// Points `pb.ioCopyName` at `name` converted into `buffer` when a name is
/// given (whatever its length), else at nothing, so the object keeps its
/// own name.  A failed conversion is returned and the call must not be made.
inline OSErr setCopyName(CopyParam &pb, UniCharCount nameLength, const UniChar *name,
                         TextEncoding textEncodingHint, Str31 buffer) {
  pb.ioCopyName = nullptr;
  if (!name)
    return noErr;
  if (OSErr result = UnicodeNameGetHFSName(nameLength, name, textEncodingHint, false, buffer))
    return result;
  pb.ioCopyName = buffer;
  return noErr;
}

/// The reference of the object a copy or move call placed in folder `dirID`
/// of `volume` (the folder `destDirectory` names): by its new name when it
/// was given one, else by its own Unicode name `ownName` — its one-byte name
/// may be a shortened form that carries the node ID of the original, which a
/// copy does not have, and without any name the reference would be the
/// folder's.  Its status is not the caller's result: the object is in place
/// whether or not the reference can be made.
inline void makeResultRef(const CopyParam &pb, FSVolumeRefNum volume, SInt32 dirID,
                          const FSRef *destDirectory, const HFSUniStr255 &ownName,
                          FSRef *newRef) {
  if (!pb.ioCopyName) {
    (void)FSMakeFSRefUnicode(destDirectory, ownName.length, ownName.unicode,
                             kTextEncodingUnknown, newRef);
    return;
  }
  FSRefParam refPB{};
  refPB.ioVRefNum = volume;
  refPB.ioDirID = dirID;
  refPB.ioNamePtr = pb.ioCopyName;
  refPB.newRef = newRef;
  (void)PBMakeFSRefSync(&refPB);
}

/// Where the object `ref` is, as the server calls name it; its Unicode name
/// too when `ownName` is not null (asked for only when a reference to the
/// result will be made from it).
inline OSErr serverCallSource(const FSRef *ref, FSSpec &spec, HFSUniStr255 *ownName) {
  return FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, ownName, &spec, nullptr);
}

} // namespace quillmate::files

#endif
