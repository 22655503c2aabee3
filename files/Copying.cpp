// Copying forks and files: a fork's whole contents into another open fork
// through the caller's buffer (a copy that fails leaves the bytes copied and
// nothing more), byte-range locks, and a copy of a whole file made by the
// file system itself.
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

/// Copies `src` from its start into `dst` from its start until the reads
/// meet the end of `src`, `requestCount` bytes a pass through `buffer`;
/// `copied` counts the bytes whose writes succeeded.  noErr when the reads
/// met the end, else the failure.
OSErr copyFromStart(FSIORefNum src, FSIORefNum dst, void *buffer, ByteCount requestCount,
                    SInt64 &copied) {
  // Both marks at the start; from here on each read and write advances its
  // own mark, so the loop passes no offsets.
  if (OSErr result = FSSetForkPosition(src, fsFromStart, 0))
    return result;
  if (OSErr result = FSSetForkPosition(dst, fsFromStart, 0))
    return result;
  // Every read is followed by a write of what it delivered, so the bytes
  // of the read that meets the end of the fork are written too.
  OSErr readResult, writeResult;
  do {
    ByteCount readCount = 0;
    readResult = FSReadFork(src, fsAtMark + noCacheMask, 0, requestCount, buffer, &readCount);
    writeResult = FSWriteFork(dst, fsAtMark + noCacheMask, 0, readCount, buffer, nullptr);
    if (writeResult == noErr)
      copied += static_cast<SInt64>(readCount);
  } while (readResult == noErr && writeResult == noErr);
  // A failed write outranks the read's status, since it leaves the
  // destination short of what was read; the read that met the end of the
  // source is success.
  if (writeResult != noErr)
    return writeResult;
  return readResult == eofErr ? OSErr(noErr) : readResult;
}

} // namespace

OSErr FSCopyFork(FSIORefNum srcRefNum, FSIORefNum dstRefNum, void *copyBufferPtr,
                 ByteCount copyBufferSize) {
  // Every byte goes through the caller's buffer; without one nothing can move.
  if (!copyBufferPtr || copyBufferSize == 0)
    return paramErr;
  // The destination takes the source's size before any byte moves, which also
  // drops whatever it held beyond that size.
  SInt64 forkSize;
  if (OSErr result = FSGetForkSize(srcRefNum, &forkSize))
    return result;
  if (OSErr result = FSSetForkSize(dstRefNum, fsFromStart, forkSize))
    return result;
  SInt64 copied = 0;
  OSErr result =
      copyFromStart(srcRefNum, dstRefNum, copyBufferPtr, transferSize(copyBufferSize), copied);
  // Reads that met the end before the size the copy set out from found a
  // source cut short while it was copied: what was copied is neither the file
  // as it was nor, in general, as it is, so the copy has failed.  A source
  // that grew was copied to the end the reads found, and that copy stands.
  if (result == noErr && copied < forkSize)
    result = eofErr;
  // A failed copy must not look complete: the destination keeps the bytes
  // copied and loses the length it was given for the whole source.  Whether
  // cutting it back succeeds does not change the status: the copy's own
  // failure is what the caller needs to hear.
  if (result != noErr)
    (void)FSSetForkSize(dstRefNum, fsFromStart, copied);
  return result;
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
  // Where the source is, as the copy call names it (and its name, for the
  // copy's reference when the copy keeps it).
  FSSpec srcSpec;
  HFSUniStr255 srcName;
  if (OSErr result = serverCallSource(srcFileRef, srcSpec,
                                      newRef && !copyName ? &srcName : nullptr))
    return result;
  // The copy call names the destination folder by volume and directory ID.
  FSCatalogInfo dstInfo;
  if (OSErr result = FSGetCatalogInfo(dstDirectoryRef, kFSCatInfoVolume | kFSCatInfoNodeID,
                                      &dstInfo, nullptr, nullptr, nullptr))
    return result;
  // The block names the source by its FSSpec and the folder by its ID alone.
  HParamBlockRec pb = serverCallBlock(srcSpec, static_cast<SInt32>(dstInfo.nodeID));
  pb.copyParam.ioDstVRefNum = dstInfo.volume;
  // A new name, when one is given; none keeps the source's name.
  Str31 hfsName;
  if (OSErr result = setCopyName(pb.copyParam, nameLength, copyName, textEncodingHint, hfsName))
    return result;
  if (OSErr result = PBHCopyFileSync(&pb))
    return result;
  // The copy's reference, when wanted.  The copy exists now, so the operation
  // has succeeded whether or not its reference could be made.
  if (newRef)
    makeResultRef(pb.copyParam, dstInfo.volume, static_cast<SInt32>(dstInfo.nodeID),
                  dstDirectoryRef, srcName, newRef);
  return noErr;
}
