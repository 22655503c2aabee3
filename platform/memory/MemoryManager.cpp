// Handles over malloc: a master block (the master pointer first, then the
// size) allocated once per handle, and the data block it points at.
#include <CoreServices/MacMemory.h>

#include "platform/memory/MemoryTesting.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct MasterBlock {
  char *data; // must stay first: a Handle is the address of this field
  Size size;
};

thread_local OSErr lastError = noErr;
quillmate::memory::AllocationFailureScope *innermostScope = nullptr;
std::function<bool(quillmate::memory::AllocatingCall, Size)> *currentPredicate = nullptr;

MasterBlock *master(Handle h) { return reinterpret_cast<MasterBlock *>(h); }

bool injectedFailure(quillmate::memory::AllocatingCall call, Size bytes) {
  return currentPredicate && (*currentPredicate)(call, bytes);
}

// One byte at least, so a zero-length block still has an address.
char *allocateBlock(Size bytes) {
  return static_cast<char *>(std::malloc(bytes > 0 ? static_cast<size_t>(bytes) : 1));
}

OSErr resize(Handle h, Size newSize) {
  MasterBlock *m = master(h);
  void *grown = std::realloc(m->data, newSize > 0 ? static_cast<size_t>(newSize) : 1);
  if (!grown)
    return memFullErr;
  m->data = static_cast<char *>(grown);
  m->size = newSize;
  return noErr;
}

} // namespace

namespace quillmate::memory {

AllocationFailureScope::AllocationFailureScope(Predicate shouldFail)
    : shouldFail_(std::move(shouldFail)), outer_(innermostScope) {
  innermostScope = this;
  currentPredicate = &shouldFail_;
}

AllocationFailureScope::~AllocationFailureScope() {
  innermostScope = outer_;
  currentPredicate = outer_ ? &outer_->shouldFail_ : nullptr;
}

AllocationFailureScope::Predicate AllocationFailureScope::nthCall(unsigned n) {
  auto seen = std::make_shared<unsigned>(0);
  return [seen, n](AllocatingCall, Size) { return ++*seen == n; };
}

AllocationFailureScope::Predicate AllocationFailureScope::everyCall() {
  return [](AllocatingCall, Size) { return true; };
}

} // namespace quillmate::memory

using quillmate::memory::AllocatingCall;

extern "C" {

Handle NewHandle(Size byteCount) {
  if (byteCount < 0) {
    lastError = memFullErr;
    return nullptr;
  }
  if (injectedFailure(AllocatingCall::NewHandle, byteCount)) {
    lastError = memFullErr;
    return nullptr;
  }
  auto *m = static_cast<MasterBlock *>(std::malloc(sizeof(MasterBlock)));
  char *data = m ? allocateBlock(byteCount) : nullptr;
  if (!data) {
    std::free(m);
    lastError = memFullErr;
    return nullptr;
  }
  m->data = data;
  m->size = byteCount;
  lastError = noErr;
  return &m->data;
}

Handle NewHandleClear(Size byteCount) {
  Handle h = NewHandle(byteCount);
  if (h && byteCount > 0)
    std::memset(*h, 0, static_cast<size_t>(byteCount));
  return h;
}

Handle NewEmptyHandle(void) {
  auto *m = static_cast<MasterBlock *>(std::malloc(sizeof(MasterBlock)));
  if (!m) {
    lastError = memFullErr;
    return nullptr;
  }
  m->data = nullptr;
  m->size = 0;
  lastError = noErr;
  return &m->data;
}

void DisposeHandle(Handle h) {
  if (!h) {
    lastError = nilHandleErr;
    return;
  }
  std::free(master(h)->data);
  std::free(master(h));
  lastError = noErr;
}

Size GetHandleSize(Handle h) {
  if (!h) {
    lastError = nilHandleErr;
    return 0;
  }
  lastError = noErr;
  return master(h)->size;
}

void SetHandleSize(Handle h, Size newSize) {
  if (!h) {
    lastError = nilHandleErr;
    return;
  }
  if (newSize < 0 || injectedFailure(AllocatingCall::SetHandleSize, newSize)) {
    lastError = memFullErr;
    return;
  }
  lastError = resize(h, newSize);
}

OSErr PtrAndHand(const void *srcPtr, Handle h, Size size) {
  if (!h)
    return lastError = nilHandleErr;
  if (size < 0 || injectedFailure(AllocatingCall::PtrAndHand, size))
    return lastError = memFullErr;
  Size old = master(h)->size;
  if (OSErr err = resize(h, old + size))
    return lastError = err;
  if (size > 0)
    std::memcpy(*h + old, srcPtr, static_cast<size_t>(size));
  return lastError = noErr;
}

OSErr MemError(void) { return lastError; }

void HLock(Handle h) { lastError = h ? OSErr{noErr} : OSErr{nilHandleErr}; }
void HUnlock(Handle h) { lastError = h ? OSErr{noErr} : OSErr{nilHandleErr}; }

void BlockMoveData(const void *srcPtr, void *destPtr, Size byteCount) {
  if (byteCount > 0)
    std::memmove(destPtr, srcPtr, static_cast<size_t>(byteCount));
}

} // extern "C"
