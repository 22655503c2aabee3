// Test hooks of the File Manager layer: decorators that sit in front of the
// current FileManager for a scope, and the descriptor-adoption hook of the
// classic fork calls.
//
//   FaultInjector faults;                    // installed until it goes away
//   faults.failNth("FSRenameUnicode", 2, dupFNErr);
//   CallRecorder calls;                      // sees the injected failures too
//   ... code under test ...
//   EXPECT_EQ(calls.names(), (std::vector<std::string>{...}));
//
// A decorator installs itself over whatever was current when it was made and
// puts that back when destroyed; make them in nesting order.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_TESTING_H
#define QUILLMATE_PLATFORM_FILEMANAGER_TESTING_H

#include <CoreServices/Files.h>

#include "platform/filemanager/FileManager.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillmate::fm::testing {

/// Makes `fd` an open fork and gives its reference number (0 when the table
/// is full).  The table owns the descriptor; closeAdoptedFork closes it.
FSIORefNum adoptDescriptorAsFork(int fd);
/// Closes a fork opened by adoptDescriptorAsFork; rfNumErr if none.
OSErr closeAdoptedFork(FSIORefNum refNum);

/// PBHCopyFileSync writes into an unnamed file (O_TMPFILE) where the file
/// system has them; false makes it take the hidden temporary name that other
/// file systems get, so that way is tested too.
void copyIntoUnnamedFiles(bool unnamed);

/// What a decorator sees of one call.
struct Call {
  std::string name;       // the platform's name, e.g. "FSGetCatalogInfo"
  UInt32 bitmap = 0;      // catalog-info bitmap
  UInt32 flags = 0;       // iterator flags, position mode, fork permissions
  UInt64 count = 0;       // name length or item count
  UInt32 nulls = 0;       // bit i set: the i-th pointer argument was null
  const FSRef *ref = nullptr;  // first reference argument (not owned)
  const FSRef *ref2 = nullptr; // second reference argument, where there is one
  SInt64 offset = 0;      // position offset
  FSIORefNum fork = 0;    // fork reference number
  OSErr result = noErr;   // filled in after the call (CallRecorder)
  FSVolumeRefNum volume = 0; // volume reference number of a parameter block
  SInt32 dirID = 0;       // directory ID of a parameter block

  bool isNull(unsigned i) const { return nulls & (1u << i); }
};

/// Forwards every call to the FileManager that was current when it was made,
/// asking before() first: a status from before() is returned instead of
/// making the call.
class InterceptingFileManager : public FileManager {
public:
  InterceptingFileManager();
  ~InterceptingFileManager() override;

  FileManager &inner() { return *inner_; }

protected:
  virtual std::optional<OSErr> before(const Call &) { return std::nullopt; }
  virtual void after(const Call &, OSErr) {}

public:
  OSErr getCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                       FSCatalogInfo *info, HFSUniStr255 *outName, FSSpec *spec,
                       FSRef *parentRef) override;
  OSErr setCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                       const FSCatalogInfo *info) override;
  OSErr makeFSRefUnicode(const FSRef *parentRef, UniCharCount nameLength,
                         const UniChar *name, TextEncoding hint,
                         FSRef *newRef) override;
  OSErr makeFSRefUnicodePB(FSRefParam *pb) override;
  OSErr makeFSRefPB(FSRefParam *pb) override;
  OSStatus pathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory) override;
  OSStatus refMakePath(const FSRef *ref, UInt8 *path, UInt32 size) override;
  OSErr compareFSRefs(const FSRef *a, const FSRef *b) override;
  OSErr createFileUnicode(const FSRef *parentRef, UniCharCount nameLength,
                          const UniChar *name, FSCatalogInfoBitmap whichInfo,
                          const FSCatalogInfo *info, FSRef *newRef,
                          FSSpec *newSpec) override;
  OSErr createDirectoryUnicode(const FSRef *parentRef, UniCharCount nameLength,
                               const UniChar *name, FSCatalogInfoBitmap whichInfo,
                               const FSCatalogInfo *info, FSRef *newRef,
                               FSSpec *newSpec, UInt32 *newDirID) override;
  OSErr deleteObject(const FSRef *ref) override;
  OSErr moveObject(const FSRef *ref, const FSRef *destDirectory,
                   FSRef *newRef) override;
  OSErr exchangeObjects(const FSRef *ref, const FSRef *destRef) override;
  OSErr renameUnicode(const FSRef *ref, UniCharCount nameLength,
                      const UniChar *name, TextEncoding hint,
                      FSRef *newRef) override;
  OSErr openIterator(const FSRef *container, FSIteratorFlags flags,
                     FSIterator *iterator) override;
  OSErr closeIterator(FSIterator iterator) override;
  OSErr getCatalogInfoBulk(FSIterator iterator, ItemCount maximumObjects,
                           ItemCount *actualObjects, Boolean *containerChanged,
                           FSCatalogInfoBitmap whichInfo, FSCatalogInfo *infos,
                           FSRef *refs, FSSpec *specs,
                           HFSUniStr255 *names) override;
  OSErr openFork(const FSRef *ref, UniCharCount forkNameLength, const UniChar *forkName,
                 SInt8 permissions, FSIORefNum *forkRefNum) override;
  OSErr closeFork(FSIORefNum forkRefNum) override;
  OSErr readFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 ByteCount requestCount, void *buffer, ByteCount *actualCount) override;
  OSErr writeFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                  ByteCount requestCount, const void *buffer, ByteCount *actualCount) override;
  OSErr getForkSize(FSIORefNum forkRefNum, SInt64 *forkSize) override;
  OSErr setForkSize(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset) override;
  OSErr getForkPosition(FSIORefNum forkRefNum, SInt64 *position) override;
  OSErr setForkPosition(FSIORefNum forkRefNum, UInt16 positionMode,
                        SInt64 positionOffset) override;
  OSErr getForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum volume, SInt16 *iterator,
                      FSIORefNum *actualRefNum, FSForkInfo *forkInfo, FSRef *ref,
                      HFSUniStr255 *outForkName) override;
  OSErr iterateForks(const FSRef *ref, CatPositionRec *forkIterator, HFSUniStr255 *forkName,
                     SInt64 *forkSize, UInt64 *forkPhysicalSize) override;
  OSErr lockRange(ParmBlkPtr pb) override;
  OSErr unlockRange(ParmBlkPtr pb) override;

  OSErr getVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex,
                              FSVolumeRefNum *actualVolume, FSVolumeInfoBitmap whichInfo,
                              FSVolumeInfo *info, HFSUniStr255 *volumeName,
                              FSRef *rootDirectory) override;
  OSErr getVolParms(HParmBlkPtr pb) override;
  OSErr getVolMountInfoSize(ParmBlkPtr pb) override;
  OSErr getVolMountInfo(ParmBlkPtr pb) override;
  OSErr volumeMount(ParmBlkPtr pb) override;
  OSErr getVol(StringPtr volName, FSVolumeRefNum *vRefNum, SInt32 *dirID) override;
  OSErr setVol(ConstStr63Param volName, FSVolumeRefNum vRefNum, SInt32 dirID) override;

  OSErr createFileIDRef(HParmBlkPtr pb) override;
  OSErr resolveFileIDRef(HParmBlkPtr pb) override;
  OSErr mapID(HParmBlkPtr pb) override;
  OSErr mapName(HParmBlkPtr pb) override;
  OSErr getDirAccess(HParmBlkPtr pb) override;
  OSErr setDirAccess(HParmBlkPtr pb) override;

  OSErr copyFile(HParmBlkPtr pb) override;
  OSErr moveRename(HParmBlkPtr pb) override;
  OSStatus notify(const FSRef *ref, FNMessage message, OptionBits flags) override;

private:
  template <class F> OSErr run(Call call, F &&f);
  FileManager *inner_;
  ScopedFileManager *scope_;
};

/// Makes chosen calls fail with a chosen status without doing anything.
class FaultInjector : public InterceptingFileManager {
public:
  /// The `n`-th call (counting from 1, from now) of operation `name` returns
  /// `status`.
  void failNth(const std::string &name, unsigned n, OSErr status);
  /// Every call for which `match` answers true returns `status`.
  void failWhen(std::function<bool(const Call &)> match, OSErr status);
  /// Number of calls of `name` seen so far (failed ones included).
  unsigned seen(const std::string &name) const;
  /// Presents `volume` (0: every volume) as one without a capability:
  /// PBHGetVolParmsSync answers with bit `bit` of vMAttrib clear (of
  /// vMExtendedAttributes when `extended`), and the call that needs the
  /// capability answers paramErr there without doing anything, as such a
  /// volume would: bHasCopyFile PBHCopyFileSync, bHasMoveRename
  /// PBHMoveRenameSync, bHasFileIDs the file-ID calls, extended
  /// bSupportsFSExchangeObjects FSExchangeObjects.
  void withoutCapability(FSVolumeRefNum volume, int bit, bool extended = false);

  OSErr getVolParms(HParmBlkPtr pb) override;

protected:
  std::optional<OSErr> before(const Call &call) override;

private:
  struct Rule {
    std::string name;
    unsigned nth = 0;
    std::function<bool(const Call &)> match;
    OSErr status = noErr;
  };
  struct Capability {
    FSVolumeRefNum volume = 0;
    int bit = 0;
    bool extended = false;
  };
  bool lacks(FSVolumeRefNum volume, int bit, bool extended);
  std::vector<Rule> rules_;
  std::vector<std::pair<std::string, unsigned>> counts_;
  std::vector<Capability> missing_;
};

/// Records every call with its arguments' shape and its result.
class CallRecorder : public InterceptingFileManager {
public:
  const std::vector<Call> &calls() const { return calls_; }
  std::vector<std::string> names() const;
  void clear() { calls_.clear(); }

protected:
  void after(const Call &call, OSErr result) override;

private:
  std::vector<Call> calls_;
};

} // namespace quillmate::fm::testing

#endif
