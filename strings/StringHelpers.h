// Number-to-text conversion and case-insensitive byte-string helpers.
//
// Everything here works on NUL-terminated byte strings: a character is one
// byte, and case folds with the C library's toupper in the locale the process
// runs in (this library never sets one, so by default only the ASCII letters
// fold).  No function keeps state.
#ifndef QUILLMATE_STRINGS_STRINGHELPERS_H
#define QUILLMATE_STRINGS_STRINGHELPERS_H

#include <MacTypes.h>

/// Reverses `text` in place, leaving the terminator where it is, and returns
/// the number of character pairs exchanged (length / 2).  Null gives 0.
int reverse(char *text);

/// Decimal text of `value` in a new buffer of (digits + 2) bytes that the
/// caller frees with delete[]; null when the allocation fails.  The signed
/// forms put '-' first for negative values, the most negative ones included.
char *itoa(UInt32 value);
char *itoa(SInt32 value);
char *itoa(SInt16 value);

/// Writes the decimal text of `value` into `buffer`: at most `size` - 1 digits
/// (the low-order ones when there are more), then '-' for a negative value
/// (not counted against `size`), then the terminator.  The buffer needs
/// `size` + 1 bytes when the value may be negative, `size` bytes otherwise.
/// Returns what `reverse` returned on the written text.
int itoa(char *buffer, SInt16 size, SInt32 value);

/// Exchanges the bytes at `first` and `second`.  The indices are not checked.
void switchIt(char *buffer, int first, int second);

/// First occurrence of `pattern` in `text` ignoring case, or null.  An empty
/// pattern matches at the start of `text`.
char *STRSTR(const char *text, const char *pattern);

/// Compares at most `count` bytes ignoring case; 0 when they agree.  A
/// difference is reported as the difference of the raw (unfolded) bytes, so
/// only zero against non-zero is meaningful.  A negative count compares up to
/// the first difference or the common terminator.
int STRNCMP(const char *first, const char *second, int count);

#endif
