// One-byte names of FSSpecs and of the one-byte calls.
//
// A name is in the system script's encoding, the one the name converters
// use for kTextEncodingUnknown (read at each call, as the locale may
// change), strictly both ways: a character without an exact mapping has no
// one-byte form.  Where the text layer cannot convert that encoding, only
// ASCII names have one.  A name that is longer than 31 bytes, or has a
// character without a one-byte form, is shortened into a unique name that
// keeps the extension and holds the node ID in hex after a '#'
// ("A long name#1F2E3.txt"); so is a name not in NFC whose composed twin is
// in the same folder (the plain forms of the two are the same bytes).
// Lookups by one-byte name accept such a name back (parseMangledID).
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_ONEBYTENAMES_H
#define QUILLMATE_PLATFORM_FILEMANAGER_ONEBYTENAMES_H

#include <CoreServices/Files.h>

#include <string>

namespace quillmate::fm::onebyte {

/// The one-byte form of `name` (Pascal string, at most 31 bytes); the
/// mangled one, with `nodeID`, when it has no plain one or when `mangle`
/// asks for it (a name whose plain form would find another object).
void fromUnicode(const HFSUniStr255 &name, UInt32 nodeID, StrFileName out, bool mangle = false);
/// UTF-16 of a one-byte name; false when it has no Unicode form.
bool toUnicode(const unsigned char *bytes, size_t length, HFSUniStr255 &out);
/// The node ID a mangled name carries, or 0.
UInt32 parseMangledID(const unsigned char *bytes, size_t length);

} // namespace quillmate::fm::onebyte

#endif
