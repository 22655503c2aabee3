// The Script Manager's variables, read from the locale the process was
// started with.
#include <CoreServices/Script.h>

#include "platform/text/Encodings.h"
#include "platform/text/TextTesting.h"

#include <CoreServices/TextCommon.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace quillmate::text {
namespace {

struct LocaleEntry {
  const char *language; // ISO 639
  const char *country;  // ISO 3166, or "" for the language's default
  RegionCode region;
  ScriptCode script;
};

// The first entry of a language is its default when the country is not
// listed.
constexpr LocaleEntry kLocales[] = {
    {"en", "US", 0, smRoman},   {"en", "GB", 2, smRoman},   {"en", "AU", 15, smRoman},
    {"en", "CA", 82, smRoman},  {"en", "IE", 108, smRoman}, {"fr", "FR", 1, smRoman},
    {"fr", "CA", 11, smRoman},  {"fr", "CH", 18, smRoman},  {"fr", "BE", 98, smRoman},
    {"de", "DE", 3, smRoman},   {"de", "CH", 19, smRoman},  {"de", "AT", 92, smRoman},
    {"it", "IT", 4, smRoman},   {"it", "CH", 36, smRoman},  {"nl", "NL", 5, smRoman},
    {"nl", "BE", 6, smRoman},   {"sv", "SE", 7, smRoman},   {"es", "ES", 8, smRoman},
    {"da", "DK", 9, smRoman},   {"pt", "PT", 10, smRoman},  {"pt", "BR", 71, smRoman},
    {"nb", "NO", 12, smRoman},  {"no", "NO", 12, smRoman},  {"nn", "NO", 101, smRoman},
    {"he", "IL", 13, smHebrew}, {"ja", "JP", 14, smJapanese}, {"ar", "", 16, smArabic},
    {"fi", "FI", 17, smRoman},  {"el", "GR", 20, smGreek},  {"is", "IS", 21, smRoman},
    {"mt", "MT", 22, smRoman},  {"tr", "TR", 24, smRoman},  {"hr", "HR", 68, smRoman},
    {"ro", "RO", 39, smRoman},  {"lt", "LT", 41, smCentralEuroRoman},
    {"pl", "PL", 42, smCentralEuroRoman}, {"hu", "HU", 43, smCentralEuroRoman},
    {"et", "EE", 44, smCentralEuroRoman}, {"lv", "LV", 45, smCentralEuroRoman},
    {"fa", "IR", 48, smArabic}, {"ru", "RU", 49, smCyrillic}, {"ga", "IE", 50, smRoman},
    {"ko", "KR", 51, smKorean}, {"zh", "CN", 52, smSimpChinese},
    {"zh", "TW", 53, smTradChinese}, {"zh", "HK", 53, smTradChinese},
    {"th", "TH", 54, smThai},   {"cs", "CZ", 56, smCentralEuroRoman},
    {"sk", "SK", 57, smCentralEuroRoman}, {"be", "BY", 61, smCyrillic},
    {"uk", "UA", 62, smCyrillic}, {"sr", "RS", 65, smCyrillic}, {"sl", "SI", 66, smRoman},
    {"mk", "MK", 67, smCyrillic}, {"bg", "BG", 72, smCyrillic}, {"ca", "ES", 73, smRoman},
    {"cy", "GB", 79, smRoman},  {"vi", "VN", 97, smRoman},  {"af", "ZA", 102, smRoman},
    {"eo", "", 103, smRoman},
};

/// The locale name that governs messages: LC_ALL, LC_MESSAGES, LANG, the
/// first one set and not empty.
std::string localeName() {
  for (const char *variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char *value = std::getenv(variable);
    if (value && *value)
      return value;
  }
  return "C";
}

bool scriptConverts(ScriptCode script) {
  TextEncoding encoding = 0;
  return UpgradeScriptInfoToTextEncoding(script, kTextLanguageDontCare, kTextRegionDontCare,
                                         nullptr, &encoding) == noErr &&
         icuConverterName(encoding) != nullptr;
}

} // namespace

namespace {

LocaleScriptInfo scriptInfoOf(const std::string &name) {
  // "ll_CC.codeset@modifier"; C and POSIX are the US.
  std::string language = name.substr(0, name.find_first_of("_.@-"));
  std::string country;
  if (size_t sep = name.find_first_of("_-"); sep != std::string::npos && sep == language.size())
    country = name.substr(sep + 1, name.find_first_of(".@", sep + 1) - sep - 1);
  const LocaleEntry *languageDefault = nullptr;
  for (const LocaleEntry &entry : kLocales) {
    if (language != entry.language)
      continue;
    if (country == entry.country)
      return {entry.script, entry.region};
    if (!languageDefault)
      languageDefault = &entry;
  }
  if (languageDefault)
    return {languageDefault->script, languageDefault->region};
  return {smRoman, verUS};
}

} // namespace

LocaleScriptInfo localeScriptInfo() {
  // The locale is read at each call; the answer for it is kept, as callers
  // such as the File Manager's one-byte names ask once per name.
  thread_local std::string lastName;
  thread_local LocaleScriptInfo lastInfo{smRoman, verUS};
  std::string name = localeName();
  if (lastName.empty() || name != lastName) {
    lastInfo = scriptInfoOf(name);
    lastName = std::move(name);
  }
  return lastInfo;
}

} // namespace quillmate::text

extern "C" SInt32 GetScriptManagerVariable(SInt16 selector) {
  using quillmate::text::testing::ScriptVariablesOverride;
  const ScriptVariablesOverride *override = ScriptVariablesOverride::current();
  switch (selector) {
  case smSysScript:
  case smKeyScript: {
    if (override)
      return override->systemScript();
    ScriptCode script = quillmate::text::localeScriptInfo().script;
    return quillmate::text::scriptConverts(script) ? script : SInt32{smRoman};
  }
  case smRegionCode:
    return override ? override->region() : quillmate::text::localeScriptInfo().region;
  default:
    return 0;
  }
}
