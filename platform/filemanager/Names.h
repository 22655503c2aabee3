// Object names: UTF-16 in the API, bytes (UTF-8, written in NFC) on disk.
//
// - A '/' in an API name is ':' on disk and back.  An API ':' has no disk
//   form and is refused.
// - A disk name that is not valid UTF-8 is still listed: each byte that is
//   not part of a valid sequence becomes the lone surrogate U+DC00 + byte
//   (0xDC80-0xDCFF), and such a unit given back becomes that byte again, so
//   the name round-trips exactly.
// - An empty name, ".", "..", a NUL, more than 255 units or more than 255
//   bytes on disk is bdNamErr.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_NAMES_H
#define QUILLMATE_PLATFORM_FILEMANAGER_NAMES_H

#include <CoreServices/Files.h>

#include <string>

namespace quillmate::fm::names {

/// The disk form of an API name exactly as given (no normalisation).
OSErr toDisk(const UniChar *units, size_t count, std::string &out);
/// The NFC form of an API name, in disk form.  Equal to toDisk's result for
/// names that are already composed.
OSErr toDiskNFC(const UniChar *units, size_t count, std::string &out);
/// The API form of a disk name.  Never fails; a name longer than 255 units
/// is cut (Linux allows 255 bytes, which never exceeds 255 units).
void fromDisk(const std::string &disk, HFSUniStr255 &out);

} // namespace quillmate::fm::names

#endif
