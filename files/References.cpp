// References, paths and names: converting between the ways one object can be
// named (FSRef, FSSpec, volume/directory/name, path, file ID, open fork),
// small questions about an FSRef, user and group names, and object names
// between UTF-16 and one-byte HFS form.
#include <FileUtilities.h>

#include <cstring>

namespace {

/// Longest one-byte names: a file or folder, a volume.
constexpr ByteCount kHFSMaxFileNameBytes = 31;
constexpr ByteCount kHFSMaxVolumeNameBytes = 27;

/// A catalog read of nothing but the outputs given.
OSErr catalogRead(const FSRef *ref, HFSUniStr255 *name, FSSpec *spec, FSRef *parentRef) {
  return FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, name, spec, parentRef);
}

/// kTextEncodingUnknown stands for the system script's encoding in the
/// system's region; when the region has no encoding of its own, any region's;
/// when that fails too, Mac Roman.  Any other hint is used as it is.
TextEncoding resolveHint(TextEncoding hint) {
  if (hint != kTextEncodingUnknown)
    return hint;
  auto script = static_cast<ScriptCode>(GetScriptManagerVariable(smSysScript));
  auto region = static_cast<RegionCode>(GetScriptManagerVariable(smRegionCode));
  OSStatus result =
      UpgradeScriptInfoToTextEncoding(script, kTextLanguageDontCare, region, nullptr, &hint);
  if (result == paramErr)
    result = UpgradeScriptInfoToTextEncoding(script, kTextLanguageDontCare,
                                             kTextRegionDontCare, nullptr, &hint);
  if (result != noErr)
    hint = kTextEncodingMacRoman;
  return hint;
}

/// UTF-16, canonically decomposed, against the hint's encoding, with the
/// mapping HFS+ names use.
UnicodeMapping nameMapping(TextEncoding hint) {
  UnicodeMapping mapping;
  mapping.unicodeEncoding = CreateTextEncoding(kTextEncodingUnicodeV2_0,
                                               kUnicodeCanonicalDecompVariant,
                                               kUnicode16BitFormat);
  mapping.otherEncoding = GetTextEncodingBase(hint);
  mapping.mappingVersion = kUnicodeUseHFSPlusMapping;
  return mapping;
}

} // namespace

OSErr FSRefMakeFSSpec(const FSRef *ref, FSSpec *spec) {
  if (!spec)
    return paramErr;
  return catalogRead(ref, nullptr, spec, nullptr);
}

OSErr FSMakeFSRef(FSVolumeRefNum volRefNum, SInt32 dirID, ConstStr255Param name, FSRef *ref) {
  if (!ref)
    return paramErr;
  FSRefParam pb{};
  pb.ioNamePtr = const_cast<StringPtr>(name);
  pb.ioVRefNum = volRefNum;
  pb.ioDirID = dirID;
  pb.newRef = ref;
  return PBMakeFSRefSync(&pb);
}

OSStatus FSPathMakeFSSpec(const UInt8 *path, FSSpec *spec, Boolean *isDirectory) {
  if (!spec)
    return paramErr;
  FSRef ref;
  if (OSStatus result = FSPathMakeRef(path, &ref, isDirectory))
    return result;
  return catalogRead(&ref, nullptr, spec, nullptr);
}

OSErr UnicodeNameGetHFSName(UniCharCount nameLength, const UniChar *name,
                            TextEncoding textEncodingHint, Boolean isVolumeName,
                            Str31 hfsName) {
  if (!hfsName)
    return paramErr;
  // The name is empty until a conversion succeeds, so any failure leaves it
  // empty.
  hfsName[0] = 0;
  // An empty Unicode name is an empty one-byte name; no converter is needed.
  ByteCount unicodeByteLength = nameLength * sizeof(UniChar);
  if (unicodeByteLength == 0)
    return noErr;
  // The hint's encoding (the system script's for kTextEncodingUnknown), and a
  // converter for it.
  UnicodeMapping mapping = nameMapping(resolveHint(textEncodingHint));
  UnicodeToTextInfo converter;
  if (OSStatus result = CreateUnicodeToTextInfo(&mapping, &converter))
    return static_cast<OSErr>(result);
  // Into the bytes after the length byte, loosely mapped, never more than a
  // one-byte name holds: a longer result fails the conversion.
  ByteCount inputRead = 0, outputLength = 0;
  OSStatus result = ConvertFromUnicodeToText(
      converter, unicodeByteLength, name, kUnicodeLooseMappingsMask, 0, nullptr, nullptr,
      nullptr, isVolumeName ? kHFSMaxVolumeNameBytes : kHFSMaxFileNameBytes, &inputRead,
      &outputLength, &hfsName[1]);
  // The length byte only after success, so a partial result stays unseen.
  if (result == noErr)
    hfsName[0] = static_cast<unsigned char>(outputLength);
  DisposeUnicodeToTextInfo(&converter);
  return static_cast<OSErr>(result);
}

OSErr HFSNameGetUnicodeName(ConstStr31Param hfsName, TextEncoding textEncodingHint,
                            HFSUniStr255 *unicodeName) {
  // The name is read here, so a null one is refused like a null output.
  if (!unicodeName || !hfsName)
    return paramErr;
  unicodeName->length = 0;
  // A Str31 holds 31 bytes: a larger length byte would have the conversion
  // read past the caller's name.
  if (hfsName[0] > kHFSMaxFileNameBytes)
    return paramErr;
  if (hfsName[0] == 0)
    return noErr;
  UnicodeMapping mapping = nameMapping(resolveHint(textEncodingHint));
  TextToUnicodeInfo converter;
  if (OSStatus result = CreateTextToUnicodeInfo(&mapping, &converter))
    return static_cast<OSErr>(result);
  ByteCount sourceRead = 0, unicodeByteLength = 0;
  OSStatus result = ConvertFromTextToUnicode(converter, hfsName[0], &hfsName[1], 0, 0, nullptr,
                                             nullptr, nullptr, sizeof unicodeName->unicode,
                                             &sourceRead, &unicodeByteLength,
                                             unicodeName->unicode);
  if (result == noErr)
    unicodeName->length = static_cast<UInt16>(unicodeByteLength / sizeof(UniChar));
  DisposeTextToUnicodeInfo(&converter);
  return static_cast<OSErr>(result);
}

Boolean FSRefValid(const FSRef *ref) {
  return catalogRead(ref, nullptr, nullptr, nullptr) == noErr;
}

OSErr FSGetParentRef(const FSRef *ref, FSRef *parentRef) {
  if (!parentRef)
    return paramErr;
  FSCatalogInfo info;
  OSErr result = FSGetCatalogInfo(ref, kFSCatInfoNodeID, &info, nullptr, nullptr, parentRef);
  // A volume's root has no parent: 80 zero bytes say so.
  if (result == noErr && info.nodeID == fsRtDirID)
    std::memset(parentRef, 0, sizeof *parentRef);
  return result;
}

OSErr FSGetFileDirName(const FSRef *ref, HFSUniStr255 *outName) {
  if (!outName)
    return paramErr;
  return catalogRead(ref, outName, nullptr, nullptr);
}

OSErr FSGetNodeID(const FSRef *ref, SInt32 *nodeID, Boolean *isDirectory) {
  FSCatalogInfoBitmap whichInfo = kFSCatInfoNone;
  if (nodeID)
    whichInfo |= kFSCatInfoNodeID;
  if (isDirectory)
    whichInfo |= kFSCatInfoNodeFlags;
  FSCatalogInfo info;
  OSErr result = FSGetCatalogInfo(ref, whichInfo, whichInfo ? &info : nullptr, nullptr,
                                  nullptr, nullptr);
  if (result != noErr)
    return result;
  if (nodeID)
    *nodeID = static_cast<SInt32>(info.nodeID);
  if (isDirectory)
    *isDirectory = (info.nodeFlags & kFSNodeIsDirectoryMask) != 0;
  return noErr;
}

OSErr FSMapID(FSVolumeRefNum volRefNum, SInt32 ugID, SInt16 objType, Str31 name) {
  if (!name)
    return paramErr;
  HParamBlockRec pb{};
  pb.objParam.ioNamePtr = nullptr;
  pb.objParam.ioVRefNum = volRefNum;
  pb.objParam.ioObjType = objType;
  pb.objParam.ioObjNamePtr = name;
  pb.objParam.ioObjID = ugID;
  return PBHMapIDSync(&pb);
}

OSErr FSMapName(FSVolumeRefNum volRefNum, ConstStr255Param name, SInt16 objType,
                SInt32 *ugID) {
  if (!ugID)
    return paramErr;
  HParamBlockRec pb{};
  pb.objParam.ioNamePtr = nullptr;
  pb.objParam.ioVRefNum = volRefNum;
  pb.objParam.ioObjType = objType;
  pb.objParam.ioObjNamePtr = const_cast<StringPtr>(name);
  OSErr result = PBHMapNameSync(&pb);
  if (result == noErr)
    *ugID = pb.objParam.ioObjID;
  return result;
}

OSErr FSCreateFileIDRef(const FSRef *ref, SInt32 *fileID) {
  if (!fileID)
    return paramErr;
  FSSpec spec;
  if (OSErr result = catalogRead(ref, nullptr, &spec, nullptr))
    return result;
  HParamBlockRec pb{};
  pb.fidParam.ioNamePtr = spec.name;
  pb.fidParam.ioVRefNum = spec.vRefNum;
  pb.fidParam.ioSrcDirID = spec.parID;
  OSErr result = PBCreateFileIDRefSync(&pb);
  // An ID that exists already comes back with its value and the status.
  if (result == noErr || result == fidExists || result == afpIDExists)
    *fileID = pb.fidParam.ioFileID;
  return result;
}

OSErr FileRefNumGetFSRef(FSIORefNum refNum, FSRef *ref) {
  return FSGetForkCBInfo(refNum, 0, nullptr, nullptr, nullptr, ref, nullptr);
}

OSStatus FSMakePath(FSVolumeRefNum volRefNum, SInt32 dirID, ConstStr255Param name, UInt8 *path,
                    UInt32 maxPathSize) {
  if (!path)
    return paramErr;
  FSRef ref;
  if (OSErr result = FSMakeFSRef(volRefNum, dirID, name, &ref))
    return result;
  return FSRefMakePath(&ref, path, maxPathSize);
}

OSErr FSResolveFileIDRef(FSVolumeRefNum volRefNum, SInt32 fileID, FSRef *ref) {
  if (!ref)
    return paramErr;
  Str255 name;
  name[0] = 0;
  HParamBlockRec pb{};
  pb.fidParam.ioNamePtr = name;
  pb.fidParam.ioVRefNum = volRefNum;
  pb.fidParam.ioFileID = fileID;
  if (OSErr result = PBResolveFileIDRefSync(&pb))
    return result;
  return FSMakeFSRef(volRefNum, pb.fidParam.ioSrcDirID, name, ref);
}
