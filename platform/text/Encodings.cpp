// TextEncoding values, the table from encodings to ICU converters, the
// normalization forms, and the choice of an encoding from script, language
// and region.
#include "platform/text/Encodings.h"
#include "platform/text/TextTesting.h"

#include <CoreServices/Script.h>

#include <unicode/normalizer2.h>
#include <unicode/uniset.h>

#include <cstdlib>

namespace quillmate::text {

namespace {

struct EncodingName {
  TextEncodingBase base;
  const char *icuName;
};

// ICU's Mac tables agree byte for byte with the published Mac mappings
// (checked for Mac OS Roman against an outside codec by the tests).
constexpr EncodingName kEncodingNames[] = {
    {kTextEncodingMacRoman, "macintosh"},
    {kTextEncodingMacGreek, "x-mac-greek"},
    {kTextEncodingMacCyrillic, "x-mac-cyrillic"},
    {kTextEncodingMacCentralEurRoman, "x-mac-centraleurroman"},
    {kTextEncodingMacTurkish, "x-mac-turkish"},
    {kTextEncodingISOLatin1, "ISO-8859-1"},
    {kTextEncodingWindowsLatin1, "windows-1252"},
    {kTextEncodingUS_ASCII, "US-ASCII"},
};

const icu::Normalizer2 &filtered(const icu::Normalizer2 &base) {
  // Intentionally leaked: ICU keeps references into it for the process's life.
  static icu::UnicodeSet *kept = [] {
    UErrorCode err = U_ZERO_ERROR;
    auto *set = new icu::UnicodeSet(
        icu::UnicodeString(u"[^\\u2000-\\u2FFF\\uF900-\\uFAFF\\U0002F800-\\U0002FAFF]"), err);
    set->freeze();
    return set;
  }();
  return *new icu::FilteredNormalizer2(base, *kept);
}

} // namespace

const char *icuConverterName(TextEncoding encoding) {
  TextEncodingBase base = GetTextEncodingBase(encoding);
  if (base == kTextEncodingUnicodeDefault || base == kTextEncodingUnicodeV2_0)
    return GetTextEncodingFormat(encoding) == kUnicodeUTF8Format ? "UTF-8" : nullptr;
  if (GetTextEncodingVariant(encoding) != 0 || GetTextEncodingFormat(encoding) != 0)
    return nullptr;
  for (const EncodingName &entry : kEncodingNames)
    if (entry.base == base)
      return entry.icuName;
  return nullptr;
}

const icu::Normalizer2 &canonicalDecomposition() {
  UErrorCode status = U_ZERO_ERROR;
  return *icu::Normalizer2::getNFDInstance(status);
}

const icu::Normalizer2 &canonicalComposition() {
  UErrorCode status = U_ZERO_ERROR;
  return *icu::Normalizer2::getNFCInstance(status);
}

const icu::Normalizer2 &hfsPlusDecomposition() {
  static const icu::Normalizer2 &form = filtered(canonicalDecomposition());
  return form;
}

const icu::Normalizer2 &hfsPlusComposition() {
  static const icu::Normalizer2 &form = filtered(canonicalComposition());
  return form;
}

} // namespace quillmate::text

using namespace quillmate::text;

extern "C" {

TextEncoding CreateTextEncoding(TextEncodingBase encodingBase, TextEncodingVariant encodingVariant,
                                TextEncodingFormat encodingFormat) {
  return (encodingBase & 0xFFFFu) | ((encodingVariant & 0x3FFu) << 16) |
         ((encodingFormat & 0x3Fu) << 26);
}

TextEncodingBase GetTextEncodingBase(TextEncoding encoding) { return encoding & 0xFFFFu; }
TextEncodingVariant GetTextEncodingVariant(TextEncoding encoding) {
  return (encoding >> 16) & 0x3FFu;
}
TextEncodingFormat GetTextEncodingFormat(TextEncoding encoding) { return encoding >> 26; }

} // extern "C"

namespace {

constexpr int kLastScript = 32, kLastLanguage = 150, kLastRegion = 108;

ScriptCode scriptOfLanguage(LangCode language) {
  switch (language) {
  case 10: case 41: return smHebrew;
  case 11: return smJapanese;
  case 12: case 20: case 31: return smArabic;
  case 14: return smGreek;
  case 19: return smTradChinese;
  case 21: return smDevanagari;
  case 22: return smThai;
  case 23: return smKorean;
  case 24: case 25: case 26: case 27: case 28: case 38: case 39: return smCentralEuroRoman;
  case 32: case 42: case 43: case 44: case 45: case 46: return smCyrillic;
  case 33: return smSimpChinese;
  default: return smRoman;
  }
}

ScriptCode scriptOfRegion(RegionCode region) {
  switch (region) {
  case 13: return smHebrew;
  case 14: return smJapanese;
  case 16: case 48: return smArabic;
  case 20: return smGreek;
  case 41: case 42: case 43: case 44: case 45: case 56: case 57: case 59:
    return smCentralEuroRoman;
  case 49: case 61: case 62: case 65: case 67: case 72: return smCyrillic;
  case 51: return smKorean;
  case 52: return smSimpChinese;
  case 53: return smTradChinese;
  case 54: return smThai;
  default: return smRoman;
  }
}

OSStatus upgradeScriptInfo(ScriptCode iTextScriptID, LangCode iTextLanguageID,
                           RegionCode iRegionID, ConstStr255Param iTextFontname,
                           TextEncoding *oEncoding) {
  const bool anyScript = iTextScriptID == kTextScriptDontCare;
  const bool anyLanguage = iTextLanguageID == kTextLanguageDontCare;
  const bool anyRegion = iRegionID == kTextRegionDontCare;
  if (!oEncoding || (!anyScript && (iTextScriptID < 0 || iTextScriptID > kLastScript)) ||
      (!anyLanguage && (iTextLanguageID < 0 || iTextLanguageID > kLastLanguage)) ||
      (!anyRegion && (iRegionID < 0 || iRegionID > kLastRegion)))
    return paramErr;
  bool hasFont = iTextFontname && iTextFontname[0] > 0;
  if (anyScript && anyLanguage && anyRegion && !hasFont)
    return paramErr;

  ScriptCode script = iTextScriptID;
  if (anyScript) {
    if (!anyLanguage)
      script = scriptOfLanguage(iTextLanguageID);
    else if (!anyRegion)
      script = scriptOfRegion(iRegionID);
    else
      script = static_cast<ScriptCode>(GetScriptManagerVariable(smSysScript));
  }
  TextEncodingBase base = static_cast<TextEncodingBase>(script);
  // Of the Roman variants only Turkish has a converter here; the others
  // (Icelandic, Croatian, Romanian, ...) resolve to Mac OS Roman so that the
  // encoding chosen for a locale can always be converted.
  if (script == smRoman &&
      (iTextLanguageID == langTurkish || (anyLanguage && iRegionID == verTurkey)))
    base = kTextEncodingMacTurkish;
  *oEncoding = CreateTextEncoding(base, kTextEncodingDefaultVariant, kTextEncodingDefaultFormat);
  return noErr;
}

} // namespace

extern "C" OSStatus UpgradeScriptInfoToTextEncoding(ScriptCode iTextScriptID,
                                                    LangCode iTextLanguageID,
                                                    RegionCode iRegionID,
                                                    ConstStr255Param iTextFontname,
                                                    TextEncoding *oEncoding) {
  using quillmate::text::testing::EncodingChoiceRecorder;
  EncodingChoiceRecorder *recorder = EncodingChoiceRecorder::current();
  OSStatus result = recorder ? recorder->injected() : noErr;
  if (result == noErr)
    result = upgradeScriptInfo(iTextScriptID, iTextLanguageID, iRegionID, iTextFontname,
                               oEncoding);
  if (recorder)
    recorder->record({iTextScriptID, iTextLanguageID, iRegionID, result});
  return result;
}
