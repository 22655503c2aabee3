// The chunked free list behind CString256's and elem's class-level pools.
//
// A pool takes storage from the system in chunks of 256 objects and never
// gives it back.  A fresh chunk hands out object 0 at once and chains objects
// 255, 254, ..., 1 (in that order from the head); released objects go on the
// front of the chain, so the last one released is the next one handed out.
//
// Under AddressSanitizer every object lying in the chain is poisoned, all but
// its link, so a use after release is reported instead of silently reading or
// corrupting a pooled object.  Not thread safe: the chain head is a plain static of the caller.
#ifndef QUILLMATE_STRINGS_FREELIST_H
#define QUILLMATE_STRINGS_FREELIST_H

#include <cstddef>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLMATE_POOL_POISONING 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUILLMATE_POOL_POISONING 1
#endif

#ifdef QUILLMATE_POOL_POISONING
#include <sanitizer/asan_interface.h>
#endif

namespace quillmate::detail {

/// Pool operations for a type T with a `T *free_next` member.  `head` is the
/// type's own static chain head.
template <class T> struct FreeList {
  static constexpr std::size_t kChunkObjects = 256;

  /// Unlinks and returns the chain's head, or takes a new chunk when the chain
  /// is empty.  A failed chunk allocation throws std::bad_alloc and leaves the
  /// chain as it was.
  static void *take(T *&head) {
    if (T *object = head) {
      head = object->free_next;
      unpoison(object, sizeof(T));
      return object;
    }
    T *chunk = static_cast<T *>(::operator new[](kChunkObjects * sizeof(T)));
    for (std::size_t k = 1; k < kChunkObjects; ++k) {
      chunk[k].free_next = k > 1 ? &chunk[k - 1] : nullptr;
      poisonAllButLink(&chunk[k]);
    }
    head = &chunk[kChunkObjects - 1];
    return &chunk[0];
  }

  /// Pushes `object` on the front of the chain.  Null is ignored.
  static void give(T *&head, void *storage) {
    if (!storage)
      return;
    T *object = static_cast<T *>(storage);
    object->free_next = head;
    head = object;
    poisonAllButLink(object);
  }

private:
  // The link stays addressable: the pool reads it, and LeakSanitizer must see
  // it to know that chunks reached only through the chain are not leaked (it
  // ignores pointers held in poisoned memory).
  static void poisonAllButLink([[maybe_unused]] T *object) {
#ifdef QUILLMATE_POOL_POISONING
    char *begin = reinterpret_cast<char *>(object);
    char *link = reinterpret_cast<char *>(&object->free_next);
    char *end = begin + sizeof(T);
    ASAN_POISON_MEMORY_REGION(begin, link - begin);
    ASAN_POISON_MEMORY_REGION(link + sizeof object->free_next,
                              end - (link + sizeof object->free_next));
#endif
  }
  static void unpoison([[maybe_unused]] const void *p, [[maybe_unused]] std::size_t n) {
#ifdef QUILLMATE_POOL_POISONING
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
  }
};

} // namespace quillmate::detail

#endif
