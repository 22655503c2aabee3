#include <CoreServices/CoreServices.h>

#include "platform/text/TextTesting.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace {

/// Sets the locale variables for one test and puts them back.
class LocaleEnvironment {
public:
  explicit LocaleEnvironment(const char *lang) {
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char *value = std::getenv(name);
      saved_[index(name)] = value ? std::optional<std::string>(value) : std::nullopt;
      unsetenv(name);
    }
    if (lang)
      setenv("LANG", lang, 1);
  }
  ~LocaleEnvironment() {
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      if (saved_[index(name)])
        setenv(name, saved_[index(name)]->c_str(), 1);
      else
        unsetenv(name);
    }
  }

private:
  static int index(const std::string &name) {
    return name == "LC_ALL" ? 0 : name == "LC_MESSAGES" ? 1 : 2;
  }
  std::optional<std::string> saved_[3];
};

UInt64 seconds(const UTCDateTime &t) { return (UInt64(t.highSeconds) << 32) | t.lowSeconds; }

} // namespace

TEST(ScriptManager, ReadsScriptAndRegionFromTheLocale) {
  {
    LocaleEnvironment c(nullptr);
    EXPECT_EQ(GetScriptManagerVariable(smSysScript), smRoman);
    EXPECT_EQ(GetScriptManagerVariable(smRegionCode), verUS);
  }
  {
    LocaleEnvironment french("fr_CA.UTF-8");
    EXPECT_EQ(GetScriptManagerVariable(smSysScript), smRoman);
    EXPECT_EQ(GetScriptManagerVariable(smRegionCode), 11);
  }
  {
    LocaleEnvironment greek("el_GR.UTF-8");
    EXPECT_EQ(GetScriptManagerVariable(smSysScript), smGreek);
    EXPECT_EQ(GetScriptManagerVariable(smRegionCode), verGreece);
  }
  {
    // A language with no country listed takes the language's first region.
    LocaleEnvironment german("de_LU@euro");
    EXPECT_EQ(GetScriptManagerVariable(smRegionCode), verGermany);
  }
  {
    // Japanese has no converter here: the system script stays Roman, so
    // names in the system encoding can still be converted.
    LocaleEnvironment japanese("ja_JP.UTF-8");
    EXPECT_EQ(GetScriptManagerVariable(smSysScript), smRoman);
    EXPECT_EQ(GetScriptManagerVariable(smRegionCode), verJapan);
  }
  {
    LocaleEnvironment turkish("tr_TR.UTF-8");
    TextEncoding e = 0;
    ASSERT_EQ(UpgradeScriptInfoToTextEncoding(
                  static_cast<ScriptCode>(GetScriptManagerVariable(smSysScript)),
                  kTextLanguageDontCare,
                  static_cast<RegionCode>(GetScriptManagerVariable(smRegionCode)), nullptr, &e),
              noErr);
    EXPECT_EQ(e, TextEncoding{kTextEncodingMacTurkish});
  }
  LocaleEnvironment english("en_GB.UTF-8");
  setenv("LC_ALL", "ru_RU.UTF-8", 1); // LC_ALL wins
  EXPECT_EQ(GetScriptManagerVariable(smSysScript), smCyrillic);
  EXPECT_EQ(GetScriptManagerVariable(smRegionCode), verRussia);
  quillmate::text::testing::ScriptVariablesOverride override(99, 500);
  EXPECT_EQ(GetScriptManagerVariable(smSysScript), 99);
  EXPECT_EQ(GetScriptManagerVariable(smRegionCode), 500);
  EXPECT_EQ(GetScriptManagerVariable(12345), 0);
}

TEST(UTCDateTime, IsThePlatformsRecordAndTheCurrentTime) {
  static_assert(sizeof(UTCDateTime) == 8);
  static_assert(offsetof(UTCDateTime, lowSeconds) == 2);
  static_assert(offsetof(UTCDateTime, fraction) == 6);
  const UInt64 kEpochOffset = 2082844800ull; // 1904 to 1970
  UTCDateTime t{};
  UInt64 before = UInt64(std::time(nullptr)) + kEpochOffset;
  ASSERT_EQ(GetUTCDateTime(&t, kUTCDefaultOptions), noErr);
  UInt64 after = UInt64(std::time(nullptr)) + kEpochOffset;
  EXPECT_GE(seconds(t), before);
  EXPECT_LE(seconds(t), after);
  EXPECT_EQ(t.highSeconds, 0u) << "48-bit seconds need the high part only after 2040";

  UTCDateTime untouched{1, 2, 3};
  EXPECT_EQ(GetUTCDateTime(nullptr, 0), paramErr);
  EXPECT_EQ(GetUTCDateTime(&untouched, 1), paramErr);
  const UInt32 low = untouched.lowSeconds; // a packed field: compare a copy
  EXPECT_EQ(low, 2u);
}

TEST(UTCDateTime, AStoppedClockAnswersItsInstantInsideItsScope) {
  using quillmate::text::testing::ClockOverride;
  UTCDateTime t{};
  {
    ClockOverride outer(UTCDateTime{0, 0xFFFFFFFFu, 0x8000});
    {
      ClockOverride inner(UTCDateTime{1, 2, 3});
      ASSERT_EQ(GetUTCDateTime(&t, kUTCDefaultOptions), noErr);
      EXPECT_EQ(seconds(t), (UInt64{1} << 32) + 2);
      EXPECT_EQ(GetUTCDateTime(&t, 1), paramErr) << "the arguments are still checked";
    }
    ASSERT_EQ(GetUTCDateTime(&t, kUTCDefaultOptions), noErr);
    EXPECT_EQ(seconds(t), 0xFFFFFFFFu);
    EXPECT_EQ(t.fraction, 0x8000);
  }
  ASSERT_EQ(GetUTCDateTime(&t, kUTCDefaultOptions), noErr);
  EXPECT_EQ(t.highSeconds, 0u) << "the system's clock again";
}
