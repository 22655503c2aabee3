// A singly linked list of values and its element type, with a class-level
// pool of elements.
//
// Every walk over a list keeps its position in the list's `cursor` (set to
// `head`, moved to each element's `next` as the element is taken), so a walk
// changes the list and two walks of one list must not interleave.  Elements
// come from a per-type pool that takes 256 elements at a time from the system
// and never gives them back; `clear` returns a list's elements to it.  Nothing
// here takes a lock.
#ifndef QUILLMATE_STRINGS_CLIST_H
#define QUILLMATE_STRINGS_CLIST_H

#include <MacTypes.h>

#include "strings/CString256.h"
#include "strings/FreeList.h"

#include <cstddef>

/// One list element, holding its own copy of the value.
template <class T> class elem {
public:
  T value;
  elem *next;
  /// Link of the pool's chain; only meaningful while the element is free.
  elem *free_next;

  /// Head of the pool's chain of free elements; null until the first element
  /// is wanted.
  static elem *lfree;

  /// Copies `source` (a string is cut at 255 bytes); `next` becomes null.
  explicit elem(const T &source) : value(source), next(nullptr) {}

  /// Storage from the pool, refilled by one chunk when empty; the size is not
  /// consulted.  Throws std::bad_alloc when a chunk cannot be had.
  static void *operator new(std::size_t) {
    return quillmate::detail::FreeList<elem>::take(lfree);
  }
  /// Returns the storage to the pool (also the path a new-expression takes if
  /// construction fails), so pooled storage never reaches the system's
  /// deallocator.
  static void operator delete(void *storage, std::size_t) {
    quillmate::detail::FreeList<elem>::give(lfree, storage);
  }
};

template <class T> elem<T> *elem<T>::lfree = nullptr;

/// An ordered list of values with constant-time append.  A list owns its
/// elements: destroying it returns them to the pool as `clear` does, and a
/// list cannot be copied (two owners would return the same elements twice).
template <class T> class CList {
public:
  elem<T> *head = nullptr;
  elem<T> *tail = nullptr;
  /// Walking position; see the file comment.
  elem<T> *cursor = nullptr;
  SInt32 count = 0;

  CList() = default;
  CList(const CList &) = delete;
  CList &operator=(const CList &) = delete;
  ~CList() { clear(); }

  /// Adds a copy of `source` as the new tail.  Leaves `cursor` at the former
  /// tail (null if the list was empty).  On std::bad_alloc the list is
  /// unchanged.
  void append(const T &source) {
    elem<T> *added = new elem<T>(source);
    cursor = tail;
    if (cursor)
      cursor->next = added;
    else
      head = added;
    tail = added;
    ++count;
  }

  /// Returns every element to the pool, head first (so the former tail is the
  /// first to be reused), and empties the list.
  void clear() {
    cursor = head;
    while (cursor) {
      elem<T> *taken = cursor;
      cursor = taken->next;
      delete taken;
    }
    head = nullptr;
    tail = nullptr;
    count = 0;
  }
};

#endif
