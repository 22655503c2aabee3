// CString256: a string of at most 255 bytes held in a 256-byte array.
//
// The text is the object's first member, so a pointer to a CString256 is a
// pointer to its terminated text and may be handed to any byte-string
// function.  Every operation leaves the text terminated within the array and
// cuts silently whatever would make it longer than 255 bytes.  A byte is a
// character; case folds with the C library's toupper/tolower.
//
// Objects created with `new` come from a class-level pool (`nfree`) that
// takes 256 objects at a time from the system and never gives them back.  The pool,
// like the rest of the class, takes no lock: use it from one thread at a time.
#ifndef QUILLMATE_STRINGS_CSTRING256_H
#define QUILLMATE_STRINGS_CSTRING256_H

#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>

#include "strings/FreeList.h"

#include <cstddef>

template <class T> class elem;
template <class T> class CList;
class CString256;

/// A matcher rates `subject` (a CString256, or any terminated text for the
/// wildcard matchers) against `argument` (a pattern text, or a
/// CList<CString256> of pattern pieces for the wildcard matchers) and writes
/// the score.
typedef void (*CString256Matcher)(void *subject, void *argument, float *score);

class CString256 {
public:
  static constexpr std::size_t kCapacity = 255;

  /// The terminated text, 0 to 255 bytes before the terminator.
  char text[kCapacity + 1];
  /// Link of the pool's chain; only meaningful while the object is free.
  CString256 *free_next;

  /// Head of the pool's chain of free objects; null until the first `new`.
  static CString256 *nfree;

  // Construction.  A null text gives the empty string; Pascal strings (a
  // length byte, then the bytes) must not be null.
  CString256();
  CString256(char *source);
  CString256(const char *source);
  CString256(unsigned char *pascal);
  CString256(const unsigned char *pascal);
  CString256(CString256 &other);
  CString256(const CString256 &other);
  ~CString256() {}

  // Assignment.  Each replaces the text and returns *this.  Sources may
  // overlap this object's own text.
  CString256 &operator=(char *source);
  CString256 &operator=(const char *source);
  CString256 &operator=(unsigned char *pascal);
  CString256 &operator=(const unsigned char *pascal);
  /// Converted to Mac OS Roman.  A string that does not convert whole (more
  /// than 255 bytes, or holding characters Mac OS Roman lacks) gives the
  /// empty text, as does a null string.
  CString256 &operator=(CFStringRef source);
  /// The first min(handle size, 255) bytes of the block, up to a NUL among
  /// them.  A null or empty handle gives the empty text.
  CString256 &operator=(Handle source);
  CString256 &operator=(CString256 &other);
  CString256 &operator=(const CString256 &other);
  /// Decimal text of the value.
  CString256 &operator=(SInt32 value);

  // Appending.  Each adds what fits in the room left (255 - length) and
  // returns *this; a null text adds nothing.
  CString256 &operator+=(char *source);
  CString256 &operator+=(const char *source);
  /// Adds the byte only while the length is below 254.
  CString256 &operator+=(char c);
  CString256 &operator+=(unsigned char *pascal);
  CString256 &operator+=(const unsigned char *pascal);
  CString256 &operator+=(CString256 other);
  CString256 &operator+=(CFStringRef source);
  CString256 &operator+=(SInt32 value);

  /// The byte at `index`, unchecked: keep it within 0 to 255.
  char &operator[](int index) { return text[index]; }
  const char &operator[](int index) const { return text[index]; }

  /// Lower-cases every byte with tolower.
  void to_lower();
  /// Removes every byte that is neither isalnum nor ispunct; the rest keep
  /// their order.
  void filter_to_alnum_or_punct();
  /// Cuts the text at its last '.' (anywhere in it, folder names included),
  /// then appends '.' and `suffix` (nothing after the dot for null).
  CString256 &change_suffix(const char *suffix);

  /// Appends the text and a line feed to the terminated string in `buffer`,
  /// which must hold its contents plus length + 2 bytes.
  void print(char *buffer) const;
  /// Writes the text and a line feed (no terminator) to an open fork with
  /// FSWrite and returns its status.
  OSErr print(SInt16 refNum) const;

  /// Replaces the contents of `target` by the fields of this text split at
  /// any byte of `delimiters` (runs of delimiters count as one; no empty
  /// fields).  This string may be an element of `target`.  Uses strtok, so
  /// it ends any strtok sequence the caller had under way.
  void parse_into_list(const char *delimiters, CList<CString256> &target) const;
  /// Replaces this text by the elements of `source` joined with `separator`
  /// (added only while the text is shorter than 254 bytes).  Moves the
  /// list's cursor.  This string may be an element of `source`.
  void flatten_list(char separator, CList<CString256> &source);

  // Matching: scores are 1.0 for a match and 0.0 for none, or a fraction for
  // the approximate tests (2c / (n + m) for c pattern characters found in
  // order, greedily, in a subject of n and a pattern of m characters).
  void match_case_exact(const CString256 &pattern, float *score) const;
  void match_nocase_exact(const CString256 &pattern, float *score) const;
  void match_case_partial(const CString256 &pattern, float *score) const;
  void match_nocase_partial(const CString256 &pattern, float *score) const;
  void match_case_approximate(const CString256 &pattern, float *score) const;
  void match_nocase_approximate(const CString256 &pattern, float *score) const;
  /// Every piece of the list must occur, in list order and without overlap;
  /// pieces are literal text.  Moves the list's cursor (null after a full
  /// walk, the element after the missing piece otherwise).
  void match_wildcard_case(CList<CString256> &pieces, float *score) const;
  void match_wildcard_nocase(CList<CString256> &pieces, float *score) const;
  /// Calls `matcher` with this string as the subject.
  void match(CString256Matcher matcher, void *argument, float *score);

  /// Prefix and suffix tests; a non-zero `nocase` compares ignoring case.
  /// The empty text is a prefix and a suffix of every string.
  bool beginsWith(const CString256 *prefix, unsigned char nocase) const;
  bool beginsWith(const char *prefix, unsigned char nocase) const;
  bool endsWith(const CString256 *suffix, unsigned char nocase) const;
  bool endsWith(const char *suffix, unsigned char nocase) const;
  bool beginsWith_nocase(const CString256 &prefix) const;
  bool beginsWith_nocase(const char *prefix) const;
  bool endsWith_nocase(const CString256 &suffix) const;
  bool endsWith_nocase(const char *suffix) const;

  /// Storage from the class pool; the size is not consulted.  Throws
  /// std::bad_alloc when a new chunk cannot be had.
  static void *operator new(std::size_t) {
    return quillmate::detail::FreeList<CString256>::take(nfree);
  }
  /// Returns the storage to the pool; it is the next one handed out.
  static void operator delete(void *storage, std::size_t) {
    quillmate::detail::FreeList<CString256>::give(nfree, storage);
  }

private:
  void assign(const char *source);
  void append(const char *source);
};

// Free matchers.  The first six read the subject in place and copy the
// pattern text (cut at 255 bytes); the wildcard ones copy the subject text
// (cut at 255 bytes) and walk the list in place.
void matcher_case_exact_256(void *subject, void *argument, float *score);
void matcher_nocase_exact_256(void *subject, void *argument, float *score);
void matcher_case_partial_256(void *subject, void *argument, float *score);
void matcher_nocase_partial_256(void *subject, void *argument, float *score);
void matcher_case_approximate_256(void *subject, void *argument, float *score);
void matcher_nocase_approximate_256(void *subject, void *argument, float *score);
void match_wildcard_case_256(void *subject, void *argument, float *score);
void match_wildcard_nocase_256(void *subject, void *argument, float *score);

#endif
