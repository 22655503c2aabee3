// Walking, deleting and listing folders through the catalog iterators.
//
// The walk and the deletion recurse one function call per folder level.  All
// levels of one call share a working record that lives in the public
// operation's frame; a level keeps only its iterator (and, when deleting,
// its current item's reference and node flags), so a deep tree costs little
// stack per level and nothing on the heap.
#include <FileUtilities.h>

namespace {

/// One walk's state, shared by all its levels.
struct FSIterateContainerGlobals {
  ContainerItemFilterProc filterProc; // never null
  FSCatalogInfoBitmap infoBitmap;     // the caller's, node flags always added
  FSCatalogInfo itemInfo;             // the current item's
  FSRef itemRef;   // the container at first, then the current item: the folder a level opens
  FSSpec itemSpec;
  FSSpec *specOut; // &itemSpec when the caller wants FSSpecs, else null
  HFSUniStr255 itemName;
  HFSUniStr255 *nameOut; // &itemName when the caller wants names, else null
  void *refCon;
  ItemCount levelLimit; // none when zero
  ItemCount depth;      // one while the container's own items are visited
  Boolean stop;         // the filter's last answer
  Boolean changed;      // the container-changed flag of the last read
  OSErr status;         // of the last File Manager call; at the end the walk's
  ItemCount returnedCount;
};

/// One deletion's state, shared by all its levels.
struct FSDeleteContainerGlobals {
  OSErr status; // of the last File Manager call; at the end the deletion's
  ItemCount returnedCount;
  FSCatalogInfo itemInfo; // only nodeFlags is read or written
};

bool isFolder(UInt16 nodeFlags) { return (nodeFlags & kFSNodeIsDirectoryMask) != 0; }
bool isLocked(UInt16 nodeFlags) { return (nodeFlags & kFSNodeLockedMask) != 0; }

/// Clears the lock of an object whose node flags are `nodeFlags`, through
/// `info`.  A failure is not reported: deleting the object then reports it.
void unlockObject(const FSRef *ref, UInt16 nodeFlags, FSCatalogInfo &info) {
  info.nodeFlags = nodeFlags & ~kFSNodeLockedMask;
  (void)FSSetCatalogInfo(ref, kFSCatInfoNodeFlags, &info);
}

/// Visits the items of the folder in `g.itemRef`, and below.
void FSIterateContainerLevel(FSIterateContainerGlobals *g) {
  // Deeper than asked: nothing is opened and the status stays.
  if (g->levelLimit != 0 && g->depth >= g->levelLimit)
    return;
  FSIterator iterator;
  g->status = FSOpenIterator(&g->itemRef, kFSIterateFlat, &iterator);
  if (g->status != noErr)
    return;
  ++g->depth;
  do {
    g->status = FSGetCatalogInfoBulk(iterator, 1, &g->returnedCount, &g->changed, g->infoBitmap,
                                     &g->itemInfo, &g->itemRef, g->specOut, g->nameOut);
    // An item may come with the end of the folder; it is visited all the same.
    if ((g->status == noErr || g->status == errFSNoMoreItems) && g->returnedCount != 0) {
      g->stop = g->filterProc(g->changed, g->depth, &g->itemInfo, &g->itemRef, g->specOut,
                              g->nameOut, g->refCon);
      // Folders before their contents; itemRef is now the folder to open.
      if (isFolder(g->itemInfo.nodeFlags) && !g->stop)
        FSIterateContainerLevel(g);
    }
  } while (!g->stop && g->status == noErr);
  // The end of a folder, or one this caller may not read, ends only this
  // level: the walk goes on with the next item one level up.
  if (g->status == errFSNoMoreItems || g->status == afpAccessDenied)
    g->status = noErr;
  --g->depth;
  FSCloseIterator(iterator);
}

/// Deletes everything inside `container`, its subfolders' contents first.
void FSDeleteContainerLevel(const FSRef *container, FSDeleteContainerGlobals *g) {
  FSIterator iterator;
  g->status = FSOpenIterator(container, kFSIterateDelete, &iterator);
  if (g->status != noErr)
    return;
  do {
    FSRef itemRef;
    g->status = FSGetCatalogInfoBulk(iterator, 1, &g->returnedCount, nullptr,
                                     kFSCatInfoNodeFlags, &g->itemInfo, &itemRef, nullptr,
                                     nullptr);
    // An item that comes with the end of the folder is deleted too, so that
    // success means the folder is empty.
    if ((g->status == noErr || g->status == errFSNoMoreItems) && g->returnedCount == 1) {
      // Deeper levels overwrite the shared record.
      const UInt16 nodeFlags = g->itemInfo.nodeFlags;
      // Its contents go first; a failure there ends the deletion.
      if (isFolder(nodeFlags)) {
        FSDeleteContainerLevel(&itemRef, g);
        if (g->status != noErr)
          break;
      }
      if (isLocked(nodeFlags))
        unlockObject(&itemRef, nodeFlags, g->itemInfo);
      g->status = FSDeleteObject(&itemRef);
    }
  } while (g->status == noErr);
  if (g->status == errFSNoMoreItems)
    g->status = noErr;
  FSCloseIterator(iterator);
}

} // namespace

OSErr FSIterateContainer(const FSRef *container, ItemCount maxLevels,
                         FSCatalogInfoBitmap whichInfo, Boolean wantFSSpec, Boolean wantName,
                         ContainerItemFilterProc iterateFilter, void *yourDataPtr) {
  // Every item goes to the filter, so there must be one.
  if (!iterateFilter)
    return paramErr;
  // The working record every level shares; value-initialised, it starts
  // at depth 0, not stopped, unchanged, noErr, no item returned.
  FSIterateContainerGlobals globals{};
  globals.filterProc = iterateFilter;
  globals.infoBitmap = whichInfo | kFSCatInfoNodeFlags; // every level tests for folders
  globals.itemRef = *container;
  globals.specOut = wantFSSpec ? &globals.itemSpec : nullptr;
  globals.nameOut = wantName ? &globals.itemName : nullptr;
  globals.refCon = yourDataPtr;
  globals.levelLimit = maxLevels;
  FSIterateContainerLevel(&globals);
  return globals.status;
}

OSErr FSDeleteContainerContents(const FSRef *container) {
  FSDeleteContainerGlobals globals{};
  FSDeleteContainerLevel(container, &globals);
  return globals.status;
}

OSErr FSDeleteContainer(const FSRef *container) {
  // Only a folder; its node flags also say whether it is locked.
  FSCatalogInfo info;
  if (OSErr result =
          FSGetCatalogInfo(container, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr))
    return result;
  if (!isFolder(info.nodeFlags))
    return dirNFErr;
  // A folder that cannot be emptied stays, partly emptied.
  if (OSErr result = FSDeleteContainerContents(container))
    return result;
  // Emptied, the folder itself goes, unlocked first when it was locked.
  if (isLocked(info.nodeFlags))
    unlockObject(container, info.nodeFlags, info);
  return FSDeleteObject(container);
}

OSErr FSGetDirectoryItems(const FSRef *container, FSRef ***refsHandle, ItemCount *numRefs,
                          Boolean *containerChanged) {
  // Every output is required; the count and the changed flag start clear.
  if (!refsHandle || !numRefs || !containerChanged)
    return paramErr;
  *numRefs = 0;
  *containerChanged = false;
  // The handle starts empty and grows by one batch at a time.
  *refsHandle = reinterpret_cast<FSRef **>(NewHandle(0));
  if (!*refsHandle)
    return memFullErr;
  FSIterator iterator;
  OSErr result = FSOpenIterator(container, kFSIterateFlat, &iterator);
  if (result == noErr) {
    // Up to ten references a read.
    constexpr ItemCount kBatch = 10;
    for (;;) {
      FSRef refs[kBatch];
      ItemCount batchCount = 0;
      Boolean batchChanged = false;
      result = FSGetCatalogInfoBulk(iterator, kBatch, &batchCount, &batchChanged,
                                    kFSCatInfoNone, nullptr, refs, nullptr, nullptr);
      if (batchChanged)
        *containerChanged = true; // a change seen once stays reported
      if (result != noErr && result != errFSNoMoreItems)
        break;
      if (batchCount != 0) {
        PtrAndHand(refs, reinterpret_cast<Handle>(*refsHandle),
                   static_cast<Size>(batchCount * sizeof(FSRef)));
        OSErr grown = MemError();
        if (grown != noErr) {
          result = grown;
          break;
        }
        *numRefs += batchCount;
      }
      if (result == errFSNoMoreItems) {
        FSCloseIterator(iterator);
        return noErr;
      }
    }
    FSCloseIterator(iterator);
  }
  // Nothing half-made is handed back; the changed flag stays as read.
  DisposeHandle(reinterpret_cast<Handle>(*refsHandle));
  *refsHandle = nullptr;
  *numRefs = 0;
  return result;
}
