// The Script Manager's view of the process's locale: which script the system
// writes in and which region it is set for.
#ifndef QUILLMATE_SCRIPT_H
#define QUILLMATE_SCRIPT_H

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Selectors of GetScriptManagerVariable.
enum {
  smSysScript = 18,
  smKeyScript = 22,
  smRegionCode = 40
};

/// Script codes.
enum {
  smRoman = 0,
  smJapanese = 1,
  smTradChinese = 2,
  smKorean = 3,
  smArabic = 4,
  smHebrew = 5,
  smGreek = 6,
  smCyrillic = 7,
  smDevanagari = 9,
  smThai = 21,
  smSimpChinese = 25,
  smCentralEuroRoman = 29,
  smUninterp = 32
};

/// Language codes this layer tells apart (the rest of the platform's list is
/// accepted as Roman-script languages).
enum {
  langEnglish = 0,
  langFrench = 1,
  langGerman = 2,
  langHebrew = 10,
  langJapanese = 11,
  langArabic = 12,
  langGreek = 14,
  langIcelandic = 15,
  langTurkish = 17,
  langCroatian = 18,
  langTradChinese = 19,
  langKorean = 23,
  langPolish = 25,
  langRussian = 32,
  langSimpChinese = 33,
  langCzech = 38
};

/// Region codes this layer names; every value 0-108 is a region.
enum {
  verUS = 0,
  verFrance = 1,
  verBritain = 2,
  verGermany = 3,
  verIsrael = 13,
  verJapan = 14,
  verGreece = 20,
  verTurkey = 24,
  verPoland = 42,
  verRussia = 49,
  verKorea = 51,
  verChina = 52,
  verTaiwan = 53
};

/// smSysScript: the script of the locale's language when this layer can
/// convert that script's text encoding, else smRoman; smKeyScript: the same;
/// smRegionCode: the region of the locale's language and country (verUS for
/// the C locale).  The locale is the one the process was started with
/// (LC_ALL, else LC_MESSAGES, else LANG), read at each call.  Other
/// selectors give 0.
SInt32 GetScriptManagerVariable(SInt16 selector);

#ifdef __cplusplus
}
#endif

#endif
