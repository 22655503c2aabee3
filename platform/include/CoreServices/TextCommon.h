// Text encodings: the 32-bit TextEncoding value, its parts, and the choice of
// an encoding from script, language and region codes.
#ifndef QUILLMATE_TEXTCOMMON_H
#define QUILLMATE_TEXTCOMMON_H

#include <MacTypes.h>
#include <CoreServices/MacErrors.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Encoding bases (bits 0-15 of a TextEncoding).  The converters of this
/// layer handle the one-byte Mac encodings marked (*), ISO Latin 1, Windows
/// Latin 1, US-ASCII, and Unicode; the others are known by value only.
enum {
  kTextEncodingMacRoman = 0, // (*)
  kTextEncodingMacJapanese = 1,
  kTextEncodingMacChineseTrad = 2,
  kTextEncodingMacKorean = 3,
  kTextEncodingMacArabic = 4,
  kTextEncodingMacHebrew = 5,
  kTextEncodingMacGreek = 6, // (*)
  kTextEncodingMacCyrillic = 7, // (*)
  kTextEncodingMacDevanagari = 9,
  kTextEncodingMacThai = 21,
  kTextEncodingMacChineseSimp = 25,
  kTextEncodingMacCentralEurRoman = 29, // (*)
  kTextEncodingMacSymbol = 33,
  kTextEncodingMacDingbats = 34,
  kTextEncodingMacTurkish = 35, // (*)
  kTextEncodingMacCroatian = 36,
  kTextEncodingMacIcelandic = 37,
  kTextEncodingMacRomanian = 38,
  kTextEncodingMacUkrainian = 0x98,
  kTextEncodingUnicodeDefault = 0x0100,
  kTextEncodingUnicodeV2_0 = 0x0103,
  kTextEncodingISOLatin1 = 0x0201,
  kTextEncodingWindowsLatin1 = 0x0500,
  kTextEncodingUS_ASCII = 0x0600,
  kTextEncodingUnknown = 0xFFFF
};

/// Variants (bits 16-25).
enum {
  kTextEncodingDefaultVariant = 0,
  kUnicodeNoSubset = 0,
  kUnicodeCanonicalDecompVariant = 2,
  kUnicodeCanonicalCompVariant = 3,
  kUnicodeHFSPlusDecompVariant = 8,
  kUnicodeHFSPlusCompVariant = 9
};

/// Formats (bits 26-31).
enum {
  kTextEncodingDefaultFormat = 0,
  kUnicode16BitFormat = 0,
  kUnicodeUTF7Format = 1,
  kUnicodeUTF8Format = 2,
  kUnicode32BitFormat = 3
};

/// "Any" values of the script, language and region codes.
enum {
  kTextScriptDontCare = -128,
  kTextLanguageDontCare = -128,
  kTextRegionDontCare = -128
};

/// Packs base (16 bits), variant (10 bits) and format (6 bits); bits that do
/// not fit their field are dropped.
TextEncoding CreateTextEncoding(TextEncodingBase encodingBase,
                                TextEncodingVariant encodingVariant,
                                TextEncodingFormat encodingFormat);
TextEncodingBase GetTextEncodingBase(TextEncoding encoding);
TextEncodingVariant GetTextEncodingVariant(TextEncoding encoding);
TextEncodingFormat GetTextEncodingFormat(TextEncoding encoding);

/// The text encoding for a script, language and region (each may be its
/// DontCare value); a font name, when given, stands for the system script.
/// paramErr, and *oEncoding untouched, when a code is out of range, when
/// nothing at all is given, or for a null oEncoding.
OSStatus UpgradeScriptInfoToTextEncoding(ScriptCode iTextScriptID,
                                         LangCode iTextLanguageID,
                                         RegionCode iRegionID,
                                         ConstStr255Param iTextFontname,
                                         TextEncoding *oEncoding);

#ifdef __cplusplus
}
#endif

#endif
