// Copying forks and files: a fork's whole contents into another open fork
// through the caller's buffer, byte-range locks, and a copy of a whole file
// made by the file system itself.
#include <FileUtilities.h>

#include "files/ServerCalls.h"

using namespace quillmate::files;

namespace {

/// Transfers of 4 KiB or more go in whole multiples of 4 KiB, so that each
/// uncached read and write covers whole pages; a smaller buffer is used
/// whole.
constexpr ByteCount kTransferBlock = 4096;

ByteCount transferSize(ByteCount bufferSize) {
  return bufferSize < kTransferBlock ? bufferSize : bufferSize - bufferSize % kTransferBlock;
}

/// The range of an open fork as the range-lock calls take it.
ParamBlockRec rangeBlock(FSIORefNum refNum, SInt32 rangeLength, SInt32 rangeStart) {
  ParamBlockRec pb{};
  pb.ioParam.ioRefNum = refNum;
  pb.ioParam.ioReqCount = rangeLength;
  pb.ioParam.ioPosMode = fsFromStart;
  pb.ioParam.ioPosOffset = rangeStart;
  return pb;
}

} // namespace

OSErr FSCopyFork(FSIORefNum srcRefNum, FSIORefNum dstRefNum, void *copyBufferPtr,
                 ByteCount copyBufferSize) {
  // 1. A buffer to copy through.
  if (!copyBufferPtr || copyBufferSize == 0)
    return paramErr;
  // 2-3. The destination takes the source's size before any byte moves.
  SInt64 forkSize;
  if (OSErr result = FSGetForkSize(srcRefNum, &forkSize))
    return result;
  if (OSErr result = FSSetForkSize(dstRefNum, fsFromStart, forkSize))
    return result;
  // 4. Both marks at the start; from here on each call advances its mark.
  if (OSErr result = FSSetForkPosition(srcRefNum, fsFromStart, 0))
    return result;
  if (OSErr result = FSSetForkPosition(dstRefNum, fsFromStart, 0))
    return result;
  // 5. Whole 4 KiB blocks where the buffer allows.
  const ByteCount requestCount = transferSize(copyBufferSize);
  // 6. Every read is followed by a write of what it delivered, so the bytes
  // of the read that meets the end of the fork are written too.
  OSErr readResult, writeResult;
  do {
    ByteCount readCount = 0;
    readResult = FSReadFork(srcRefNum, fsAtMark + noCacheMask, 0, requestCount, copyBufferPtr,
                            &readCount);
    writeResult = FSWriteFork(dstRefNum, fsAtMark + noCacheMask, 0, readCount, copyBufferPtr,
                              nullptr);
  } while (readResult == noErr && writeResult == noErr);
  // 7. A failed write outranks the read; the end of the source is success.
  if (writeResult != noErr)
    return writeResult;
  return readResult == eofErr ? OSErr(noErr) : readResult;
}

OSErr FSLockRange(FSIORefNum refNum, SInt32 rangeLength, SInt32 rangeStart) {
  ParamBlockRec pb = rangeBlock(refNum, rangeLength, rangeStart);
  return PBLockRangeSync(&pb);
}

OSErr FSUnlockRange(FSIORefNum refNum, SInt32 rangeLength, SInt32 rangeStart) {
  ParamBlockRec pb = rangeBlock(refNum, rangeLength, rangeStart);
  return PBUnlockRangeSync(&pb);
}

OSErr FSCopyFile(const FSRef *srcFileRef, const FSRef *dstDirectoryRef,
                 UniCharCount nameLength, const UniChar *copyName,
                 TextEncoding textEncodingHint, FSRef *newRef) {
  // 1. Where the source is, as the copy call names it (and its name, for the
  // copy's reference when the copy keeps it).
  FSSpec srcSpec;
  HFSUniStr255 srcName;
  if (OSErr result = serverCallSource(srcFileRef, srcSpec,
                                      newRef && !copyName ? &srcName : nullptr))
    return result;
  // 2. The destination folder's volume and directory ID.
  FSCatalogInfo dstInfo;
  if (OSErr result = FSGetCatalogInfo(dstDirectoryRef, kFSCatInfoVolume | kFSCatInfoNodeID,
                                      &dstInfo, nullptr, nullptr, nullptr))
    return result;
  // 3. The source, and the folder by its ID alone.
  HParamBlockRec pb = serverCallBlock(srcSpec, static_cast<SInt32>(dstInfo.nodeID));
  pb.copyParam.ioDstVRefNum = dstInfo.volume;
  // 4. A new name, when one is given; none keeps the source's name.
  Str31 hfsName;
  if (OSErr result = setCopyName(pb.copyParam, nameLength, copyName, textEncodingHint, hfsName))
    return result;
  // 5. The copy.
  if (OSErr result = PBHCopyFileSync(&pb))
    return result;
  // 6. The copy's reference, when wanted.
  if (newRef)
    makeResultRef(pb.copyParam, dstInfo.volume, static_cast<SInt32>(dstInfo.nodeID),
                  dstDirectoryRef, srcName, newRef);
  // 7. Once the copy is made the operation has succeeded.
  return noErr;
}
