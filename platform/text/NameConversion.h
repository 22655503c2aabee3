// Name conversion for the File Manager layer (internal to the platform).
//
// Three forms of a name meet there:
//  - one-byte names (Str31/Str63 of FSSpecs and the classic calls), in a Mac
//    encoding: the system script's unless the caller names one;
//  - API names (HFSUniStr255, UTF-16);
//  - disk names (bytes in a Linux directory, UTF-8 by convention).
//
// What a caller may rely on:
//  - One-byte -> UTF-16 gives the HFS+ decomposition (canonical decomposition
//    except U+2000-2FFF, U+F900-FAFF, U+2F800-2FAFF); UTF-16 -> one-byte
//    composes first and uses loose mappings, so decomposed and precomposed
//    names give the same bytes.
//  - Disk -> UTF-16 never fails and keeps every byte: valid UTF-8 is
//    transcoded as it is (no normalization), and each byte that is not part
//    of valid UTF-8 becomes the lone surrogate U+DC80-U+DCFF.  UTF-16 -> disk
//    turns those back into the bytes, so disk -> UTF-16 -> disk (kept form)
//    gives back the very bytes read from the directory.
//  - UTF-16 -> disk composes (NFC) by default, the form Linux programs expect
//    for new names; DiskNameForm::AsGiven keeps the units' own form, for
//    looking up a name that is on disk undecomposed or decomposed, and
//    DiskNameForm::Decomposed gives the canonical decomposition (NFD).
//  - A disk name has at most one other form that names the same thing to a
//    user (diskNameNormalization): its NFC when it is not in NFC, else its
//    NFD when that differs.  Bytes that are not UTF-8 are characters of
//    their own that neither form changes.
//  - NUL and '/' pass through unchanged: rejecting them is the caller's call.
#ifndef QUILLMATE_PLATFORM_TEXT_NAME_CONVERSION_H
#define QUILLMATE_PLATFORM_TEXT_NAME_CONVERSION_H

#include <CoreServices/TextCommon.h>

#include <string>
#include <string_view>

namespace quillmate::text {

/// The encoding of one-byte names when the caller gives kTextEncodingUnknown:
/// UpgradeScriptInfoToTextEncoding of the system script and region (once more
/// without the region if that answers paramErr), Mac OS Roman if that fails.
TextEncoding systemNameEncoding();

/// One-byte name -> UTF-16 (HFS+ decomposition).  `encoding` may be
/// kTextEncodingUnknown.  `out` is empty on failure: kTECNoConversionPathErr,
/// kTextUndefinedElementErr for a byte the encoding lacks, the test hook's
/// status, memFullErr.
OSStatus oneByteNameToUnicode(const unsigned char *bytes, size_t length, TextEncoding encoding,
                              std::u16string &out);

/// UTF-16 -> one-byte name of at most `maxBytes` bytes (31 for a file name,
/// 27 for a volume name): kTECOutputBufferFullStatus when longer,
/// kTECUnmappableElementErr when a character has no mapping even a loose one,
/// kTextMalformedInputErr for a lone surrogate.  `out` is empty on failure.
OSStatus unicodeToOneByteName(const UniChar *units, size_t count, TextEncoding encoding,
                              size_t maxBytes, std::string &out);

/// Disk name -> UTF-16, losslessly (see above).
std::u16string diskNameToUnicode(std::string_view diskName);

enum class DiskNameForm { Composed, AsGiven, Decomposed };

/// UTF-16 -> disk name.  kTextMalformedInputErr for a lone surrogate other
/// than U+DC80-U+DCFF (`out` then empty).
OSStatus unicodeToDiskName(const UniChar *units, size_t count, std::string &out,
                           DiskNameForm form = DiskNameForm::Composed);

/// Where a disk name stands between the two canonical normalization forms.
/// A decomposed name made by another program need not be the NFD of its NFC
/// (marks in another order, some characters composed): that is Mixed.
enum class DiskNameNormalization {
  Both,       ///< in NFC and in NFD (every ASCII name): it has no other form
  Composed,   ///< in NFC only: its other form is its NFD
  Decomposed, ///< in NFD only: its other form is its NFC
  Mixed,      ///< in neither: its other form is its NFC
};

/// The normalization of `diskName`, and in `other`, when given, its other
/// form (empty for Both, and when memory runs out).  An ASCII name costs one
/// pass over its bytes.
DiskNameNormalization diskNameNormalization(std::string_view diskName,
                                            std::string *other = nullptr);

} // namespace quillmate::text

#endif
