// Temporary names that are free in two folders at once, for operations that
// move an object through a name of its own before it gets its final one.
// Private to the library (tests reach it as "files/UniqueName.h").
#ifndef QUILLMATE_FILES_UNIQUENAME_H
#define QUILLMATE_FILES_UNIQUENAME_H

#include <CoreServices/CoreServices.h>

namespace quillmate::files {

/// The value callers start the counter at; the first name tried is
/// "5675726E".
constexpr SInt32 kUniqueNameFirstCounter = 0x5675726E;

/// Writes into `uniqueName` the eight upper-case hex digits of `*counter`
/// (most significant first) and advances the counter, until the name exists
/// in neither `dir1` nor `dir2` (which may be the same folder); noErr then,
/// with the counter one past the value that gave the name.  A lookup that
/// fails otherwise than with fnfErr is returned with the counter left at the
/// value being tried and the name holding it.  There is no limit on the
/// number of attempts; the counter wraps around past 0x7FFFFFFF.
OSErr GenerateUniqueHFSUniStr(SInt32 *counter, const FSRef *dir1, const FSRef *dir2,
                              HFSUniStr255 *uniqueName);

} // namespace quillmate::files

#endif
