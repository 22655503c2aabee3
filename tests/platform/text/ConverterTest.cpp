#include <CoreServices/CoreServices.h>

#include "platform/text/TextTesting.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

UnicodeMapping hfsMapping(TextEncoding other = kTextEncodingMacRoman) {
  return {CreateTextEncoding(kTextEncodingUnicodeV2_0, kUnicodeCanonicalDecompVariant,
                             kUnicode16BitFormat),
          other, kUnicodeUseHFSPlusMapping};
}

struct ToText {
  OSStatus status;
  ByteCount read, written;
  std::string bytes;
};

ToText toText(const std::u16string &units, ByteCount capacity, OptionBits flags = 0,
              TextEncoding other = kTextEncodingMacRoman) {
  UnicodeMapping mapping = hfsMapping(other);
  UnicodeToTextInfo info = nullptr;
  EXPECT_EQ(CreateUnicodeToTextInfo(&mapping, &info), noErr);
  std::string out(capacity + 1, '\x7f');
  ToText r{};
  r.status = ConvertFromUnicodeToText(info, 2 * units.size(),
                                      reinterpret_cast<const UniChar *>(units.data()), flags, 0,
                                      nullptr, nullptr, nullptr, capacity, &r.read, &r.written,
                                      out.data());
  EXPECT_EQ(out[capacity], '\x7f') << "wrote past the buffer";
  r.bytes = out.substr(0, r.written);
  EXPECT_EQ(DisposeUnicodeToTextInfo(&info), noErr);
  EXPECT_EQ(info, nullptr);
  return r;
}

struct ToUnicode {
  OSStatus status;
  ByteCount read, written;
  std::u16string units;
};

ToUnicode toUnicode(const std::string &bytes, ByteCount capacityBytes, UnicodeMapping mapping,
                    OptionBits flags = 0) {
  TextToUnicodeInfo info = nullptr;
  EXPECT_EQ(CreateTextToUnicodeInfo(&mapping, &info), noErr);
  std::u16string out(capacityBytes / 2 + 1, u'\x7f');
  ToUnicode r{};
  r.status = ConvertFromTextToUnicode(info, bytes.size(), bytes.data(), flags, 0, nullptr,
                                      nullptr, nullptr, capacityBytes, &r.read, &r.written,
                                      reinterpret_cast<UniChar *>(out.data()));
  EXPECT_EQ(out[capacityBytes / 2], u'\x7f') << "wrote past the buffer";
  r.units = out.substr(0, r.written / 2);
  EXPECT_EQ(DisposeTextToUnicodeInfo(&info), noErr);
  return r;
}

} // namespace

TEST(TextEncoding, PacksBaseVariantAndFormat) {
  TextEncoding e = CreateTextEncoding(kTextEncodingUnicodeV2_0, kUnicodeCanonicalDecompVariant,
                                      kUnicodeUTF8Format);
  EXPECT_EQ(e, 0x08020103u);
  EXPECT_EQ(GetTextEncodingBase(e), 0x0103u);
  EXPECT_EQ(GetTextEncodingVariant(e), 2u);
  EXPECT_EQ(GetTextEncodingFormat(e), 2u);
  // Bits beyond a field do not spill into the next one.
  EXPECT_EQ(CreateTextEncoding(0x1FFFF, 0, 0), 0xFFFFu);
  EXPECT_EQ(GetTextEncodingVariant(CreateTextEncoding(0, 0x7FF, 0)), 0x3FFu);
  EXPECT_EQ(GetTextEncodingFormat(CreateTextEncoding(0, 0, 0x7F)), 0x3Fu);
}

TEST(UpgradeScriptInfo, ChoosesTheScriptsEncodingAndRefusesBadCodes) {
  TextEncoding e = 0x1234;
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(smRoman, kTextLanguageDontCare, verUS, nullptr, &e),
            noErr);
  EXPECT_EQ(e, TextEncoding{kTextEncodingMacRoman});
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(kTextScriptDontCare, langGreek, kTextRegionDontCare,
                                            nullptr, &e),
            noErr);
  EXPECT_EQ(e, TextEncoding{kTextEncodingMacGreek});
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(kTextScriptDontCare, kTextLanguageDontCare, verRussia,
                                            nullptr, &e),
            noErr);
  EXPECT_EQ(e, TextEncoding{kTextEncodingMacCyrillic});
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(smRoman, kTextLanguageDontCare, verTurkey, nullptr, &e),
            noErr);
  EXPECT_EQ(e, TextEncoding{kTextEncodingMacTurkish});
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(kTextScriptDontCare, langPolish, kTextRegionDontCare,
                                            nullptr, &e),
            noErr);
  EXPECT_EQ(e, TextEncoding{kTextEncodingMacCentralEurRoman});

  e = 0x1234;
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(smRoman, kTextLanguageDontCare, 500, nullptr, &e),
            paramErr);
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(99, kTextLanguageDontCare, verUS, nullptr, &e),
            paramErr);
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(smRoman, -3, verUS, nullptr, &e), paramErr);
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(kTextScriptDontCare, kTextLanguageDontCare,
                                            kTextRegionDontCare, nullptr, &e),
            paramErr);
  EXPECT_EQ(e, 0x1234u) << "a refused call writes nothing";
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(smRoman, kTextLanguageDontCare, verUS, nullptr,
                                            nullptr),
            paramErr);
  // A font name alone stands for the system script.
  const unsigned char font[] = "\x06Geneva";
  quillmate::text::testing::ScriptVariablesOverride greek(smGreek, verGreece);
  EXPECT_EQ(UpgradeScriptInfoToTextEncoding(kTextScriptDontCare, kTextLanguageDontCare,
                                            kTextRegionDontCare, font, &e),
            noErr);
  EXPECT_EQ(e, TextEncoding{kTextEncodingMacGreek});
}

TEST(UnicodeToText, ComposesBeforeEncodingAndCountsBytes) {
  // "é" precomposed and decomposed give the same byte; counts are in bytes.
  ToText pre = toText(u"caf\u00e9", 31);
  EXPECT_EQ(pre.status, noErr);
  EXPECT_EQ(pre.bytes, "caf\x8e");
  EXPECT_EQ(pre.read, 8u);
  ToText dec = toText(u"cafe\u0301", 31);
  EXPECT_EQ(dec.status, noErr);
  EXPECT_EQ(dec.bytes, "caf\x8e");
  EXPECT_EQ(dec.read, 10u);
  EXPECT_EQ(dec.written, 4u);
  // Marks given out of canonical order still compose.
  ToText a = toText(u"A\u030a", 31);
  EXPECT_EQ(a.bytes, "\x81");
  ToText empty = toText(u"", 31);
  EXPECT_EQ(empty.status, noErr);
  EXPECT_EQ(empty.written, 0u);
}

TEST(UnicodeToText, StopsBetweenCharactersWhenFullOrUnmappable) {
  // A full buffer stops before the character that does not fit, never in the
  // middle of a decomposed one.
  ToText full = toText(u"abe\u0301", 2);
  EXPECT_EQ(full.status, kTECOutputBufferFullStatus);
  EXPECT_EQ(full.bytes, "ab");
  EXPECT_EQ(full.read, 4u);
  std::u16string thirtyTwo(32, u'x');
  ToText tooLong = toText(thirtyTwo, 31);
  EXPECT_EQ(tooLong.status, kTECOutputBufferFullStatus);
  EXPECT_EQ(tooLong.written, 31u);
  EXPECT_EQ(toText(std::u16string(31, u'x'), 31).status, noErr);

  // No mapping: the status, and the counts up to the character.
  ToText han = toText(u"ab\u4e2dc", 31);
  EXPECT_EQ(han.status, kTECUnmappableElementErr);
  EXPECT_EQ(han.bytes, "ab");
  EXPECT_EQ(han.read, 4u);
  // Loose mappings do not invent one where none exists.
  EXPECT_EQ(toText(u"\u4e2d", 31, kUnicodeLooseMappingsMask).status, kTECUnmappableElementErr);
  // Fallbacks substitute and say so.
  ToText fallback = toText(u"a\u4e2db", 31, kUnicodeUseFallbacksMask);
  EXPECT_EQ(fallback.status, kTECUsedFallbacksStatus);
  EXPECT_EQ(fallback.bytes, "a?b");
}

TEST(UnicodeToText, MalformedUTF16IsRefused) {
  ToText lone = toText(std::u16string(u"a") + char16_t(0xDC00) + u"b", 31);
  EXPECT_EQ(lone.status, kTextMalformedInputErr);
  EXPECT_EQ(lone.bytes, "a");
  ToText cut = toText(std::u16string(u"a") + char16_t(0xD83D), 31);
  EXPECT_EQ(cut.status, kTECPartialCharErr);
  EXPECT_EQ(cut.read, 2u);
  ToText unterminated =
      toText(std::u16string(u"a") + char16_t(0xD83D), 31, kUnicodeStringUnterminatedMask);
  EXPECT_EQ(unterminated.status, noErr);
  EXPECT_EQ(unterminated.read, 2u);
  EXPECT_EQ(unterminated.bytes, "a");
  // A supplementary character is one character: unmappable, not malformed.
  EXPECT_EQ(toText(u"\U0001F600", 31).status, kTECUnmappableElementErr);
}

TEST(TextToUnicode, DecomposesAsHFSPlusAndStopsWhenFull) {
  ToUnicode r = toUnicode("caf\x8e", 510, hfsMapping());
  EXPECT_EQ(r.status, noErr);
  EXPECT_EQ(r.units, u"cafe\u0301");
  EXPECT_EQ(r.read, 4u);
  EXPECT_EQ(r.written, 10u);
  // U+2260 (0xAD) lies in the range HFS+ leaves alone.
  EXPECT_EQ(toUnicode("\xad", 510, hfsMapping()).units, u"\u2260");
  // With room for 7 bytes "caf" fits (6) and the 4 bytes of e + U+0301 do
  // not: none of the é is written.
  ToUnicode full = toUnicode("caf\x8e", 7, hfsMapping());
  EXPECT_EQ(full.status, kTECOutputBufferFullStatus);
  EXPECT_EQ(full.units, u"caf");
  EXPECT_EQ(full.read, 3u);
  EXPECT_EQ(full.written, 6u);

  // Other variants: composed, and the table's own form.
  UnicodeMapping composed = hfsMapping();
  composed.unicodeEncoding = CreateTextEncoding(kTextEncodingUnicodeDefault,
                                                kUnicodeCanonicalCompVariant, kUnicode16BitFormat);
  EXPECT_EQ(toUnicode("caf\x8e", 510, composed).units, u"caf\u00e9");
  UnicodeMapping nfd = hfsMapping();
  nfd.mappingVersion = kUnicodeUseLatestMapping;
  EXPECT_EQ(toUnicode("\xad", 510, nfd).units, u"=\u0338");
}

TEST(TextToUnicode, ReportsBadInputWithCountsUpToIt) {
  UnicodeMapping utf8 = hfsMapping(
      CreateTextEncoding(kTextEncodingUnicodeDefault, kTextEncodingDefaultVariant, kUnicodeUTF8Format));
  ToUnicode ok = toUnicode("na\xc3\xafve", 510, utf8);
  EXPECT_EQ(ok.status, noErr);
  EXPECT_EQ(ok.units, u"nai\u0308ve");
  ToUnicode bad = toUnicode("ab\xff" "cd", 510, utf8);
  EXPECT_EQ(bad.status, kTextMalformedInputErr);
  EXPECT_EQ(bad.units, u"ab");
  EXPECT_EQ(bad.read, 2u);
  ToUnicode cut = toUnicode("ab\xc3", 510, utf8);
  EXPECT_EQ(cut.status, kTECPartialCharErr);
  EXPECT_EQ(cut.read, 2u);
  ToUnicode pending = toUnicode("ab\xc3", 510, utf8, kUnicodeStringUnterminatedMask);
  EXPECT_EQ(pending.status, noErr);
  EXPECT_EQ(pending.read, 2u);
  // The Mac tables define every byte; US-ASCII leaves the upper half undefined.
  ToUnicode greek = toUnicode("a\xff", 510, hfsMapping(kTextEncodingUS_ASCII));
  EXPECT_EQ(greek.status, kTextUndefinedElementErr);
  EXPECT_EQ(greek.read, 1u);
}

TEST(ConverterObjects, CreationAndArgumentFailures) {
  UnicodeMapping mapping = hfsMapping();
  UnicodeToTextInfo toText = nullptr;
  TextToUnicodeInfo toUni = nullptr;
  EXPECT_EQ(CreateUnicodeToTextInfo(nullptr, &toText), paramErr);
  EXPECT_EQ(CreateUnicodeToTextInfo(&mapping, nullptr), paramErr);
  UnicodeMapping japanese = hfsMapping(kTextEncodingMacJapanese);
  EXPECT_EQ(CreateUnicodeToTextInfo(&japanese, &toText), kTECNoConversionPathErr);
  EXPECT_EQ(toText, nullptr);
  UnicodeMapping notUnicode = mapping;
  notUnicode.unicodeEncoding = kTextEncodingMacRoman;
  EXPECT_EQ(CreateTextToUnicodeInfo(&notUnicode, &toUni), paramErr);
  EXPECT_EQ(DisposeUnicodeToTextInfo(nullptr), paramErr);
  EXPECT_EQ(DisposeUnicodeToTextInfo(&toText), paramErr);

  {
    quillmate::text::testing::ConverterCreationFailureScope failing(memFullErr, 2);
    ASSERT_EQ(CreateUnicodeToTextInfo(&mapping, &toText), noErr);
    EXPECT_EQ(CreateTextToUnicodeInfo(&mapping, &toUni), memFullErr);
    EXPECT_EQ(toUni, nullptr);
    {
      quillmate::text::testing::ConverterCreationFailureScope inner;
      EXPECT_EQ(CreateTextToUnicodeInfo(&mapping, &toUni), kTECNoConversionPathErr);
    }
    EXPECT_EQ(CreateTextToUnicodeInfo(&mapping, &toUni), memFullErr);
  }
  ASSERT_EQ(CreateTextToUnicodeInfo(&mapping, &toUni), noErr);

  ByteCount read = 9, written = 9;
  char out[4];
  const UniChar a = 'a';
  EXPECT_EQ(ConvertFromUnicodeToText(toText, 2, &a, 0, 0, nullptr, nullptr, nullptr, 4, nullptr,
                                     &written, out),
            paramErr);
  EXPECT_EQ(ConvertFromUnicodeToText(toText, 2, &a, 0, 0, nullptr, nullptr, nullptr, 4, &read,
                                     &written, nullptr),
            paramErr);
  EXPECT_EQ(ConvertFromUnicodeToText(toText, 3, &a, 0, 0, nullptr, nullptr, nullptr, 4, &read,
                                     &written, out),
            kTextMalformedInputErr);
  EXPECT_EQ(ConvertFromUnicodeToText(nullptr, 2, &a, 0, 0, nullptr, nullptr, nullptr, 4, &read,
                                     &written, out),
            paramErr);
  EXPECT_EQ(ConvertFromTextToUnicode(toUni, 1, "a", 0, 0, nullptr, nullptr, nullptr, 2, &read,
                                     nullptr, nullptr),
            paramErr);
  EXPECT_EQ(DisposeUnicodeToTextInfo(&toText), noErr);
  EXPECT_EQ(DisposeTextToUnicodeInfo(&toUni), noErr);
}
