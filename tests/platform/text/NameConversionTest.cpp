#include "platform/text/NameConversion.h"

#include "platform/text/TextTesting.h"

#include <CoreServices/CoreServices.h>

#include <gtest/gtest.h>

using namespace quillmate::text;
using quillmate::text::testing::ConverterCreationFailureScope;
using quillmate::text::testing::ScriptVariablesOverride;

namespace {
const UniChar *u(const std::u16string &s) { return reinterpret_cast<const UniChar *>(s.data()); }
const unsigned char *b(const char *s) { return reinterpret_cast<const unsigned char *>(s); }
} // namespace

TEST(OneByteNames, RoundTripThroughTheHFSPlusForm) {
  std::u16string name;
  ASSERT_EQ(oneByteNameToUnicode(b("R\x8esum\x8e"), 6, kTextEncodingMacRoman, name), noErr);
  EXPECT_EQ(name, u"Re\u0301sume\u0301");
  std::string back;
  ASSERT_EQ(unicodeToOneByteName(u(name), name.size(), kTextEncodingMacRoman, 31, back), noErr);
  EXPECT_EQ(back, "R\x8esum\x8e");
  // Precomposed input gives the same bytes.
  ASSERT_EQ(unicodeToOneByteName(u(u"R\u00e9sum\u00e9"), 6, kTextEncodingUnknown, 31, back), noErr);
  EXPECT_EQ(back, "R\x8esum\x8e");
  // Greek, named or as the system script.
  ASSERT_EQ(unicodeToOneByteName(u(u"\u03b1\u03b2"), 2, kTextEncodingMacGreek, 31, back), noErr);
  std::string greek = back;
  ScriptVariablesOverride system(smGreek, verGreece);
  EXPECT_EQ(systemNameEncoding(), TextEncoding{kTextEncodingMacGreek});
  ASSERT_EQ(unicodeToOneByteName(u(u"\u03b1\u03b2"), 2, kTextEncodingUnknown, 31, back), noErr);
  EXPECT_EQ(back, greek);
}

TEST(OneByteNames, LimitsAndFailuresLeaveNothing) {
  std::string out = "stale";
  std::u16string longName(32, u'n');
  EXPECT_EQ(unicodeToOneByteName(u(longName), 32, kTextEncodingMacRoman, 31, out),
            kTECOutputBufferFullStatus);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(unicodeToOneByteName(u(longName), 28, kTextEncodingMacRoman, 27, out),
            kTECOutputBufferFullStatus);
  EXPECT_EQ(unicodeToOneByteName(u(longName), 27, kTextEncodingMacRoman, 27, out), noErr);
  EXPECT_EQ(out.size(), 27u);
  EXPECT_EQ(unicodeToOneByteName(u(u"\u4e2d"), 1, kTextEncodingMacRoman, 31, out),
            kTECUnmappableElementErr);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(unicodeToOneByteName(u(u"x"), 1, kTextEncodingMacJapanese, 31, out),
            kTECNoConversionPathErr);
  std::u16string name = u"stale";
  {
    ConverterCreationFailureScope failing(memFullErr);
    EXPECT_EQ(oneByteNameToUnicode(b("a"), 1, kTextEncodingMacRoman, name), memFullErr);
    EXPECT_TRUE(name.empty());
  }
  EXPECT_EQ(oneByteNameToUnicode(b(""), 0, kTextEncodingMacRoman, name), noErr);
  EXPECT_TRUE(name.empty());
}

TEST(SystemNameEncoding, FallsBackAsTheLibraryExpects) {
  {
    // A region the encoding call refuses: the second try without it decides.
    ScriptVariablesOverride badRegion(smCyrillic, 500);
    EXPECT_EQ(systemNameEncoding(), TextEncoding{kTextEncodingMacCyrillic});
  }
  {
    // A script it refuses: Mac OS Roman.
    ScriptVariablesOverride badScript(99, verUS);
    EXPECT_EQ(systemNameEncoding(), TextEncoding{kTextEncodingMacRoman});
  }
}

TEST(DiskNames, AreKeptByteForByte) {
  EXPECT_EQ(diskNameToUnicode("caf\xc3\xa9"), u"caf\u00e9");
  EXPECT_EQ(diskNameToUnicode("cafe\xcc\x81"), u"cafe\u0301") << "no normalization on the way in";
  EXPECT_EQ(diskNameToUnicode("\xf0\x9f\x98\x80"), u"\U0001F600");
  // Bytes that are not UTF-8 (Latin-1 here, and an encoded surrogate) are
  // escaped one by one and come back unchanged.
  for (std::string disk : {std::string("caf\xe9"), std::string("\xed\xb2\x80x"),
                           std::string("a\xc3"), std::string("\xff\xfe")}) {
    std::u16string api = diskNameToUnicode(disk);
    std::string back;
    ASSERT_EQ(unicodeToDiskName(u(api), api.size(), back, DiskNameForm::AsGiven), noErr);
    EXPECT_EQ(back, disk);
  }
  EXPECT_EQ(diskNameToUnicode("caf\xe9"), std::u16string(u"caf") + char16_t(0xDCE9));
}

TEST(DiskNames, ComposedByDefaultAndLoneSurrogatesRefused) {
  std::string out;
  ASSERT_EQ(unicodeToDiskName(u(u"cafe\u0301"), 5, out), noErr);
  EXPECT_EQ(out, "caf\xc3\xa9");
  ASSERT_EQ(unicodeToDiskName(u(u"cafe\u0301"), 5, out, DiskNameForm::AsGiven), noErr);
  EXPECT_EQ(out, "cafe\xcc\x81");
  // HFS+ decomposed names reach the disk in the form Linux programs write.
  std::u16string hfs;
  ASSERT_EQ(oneByteNameToUnicode(b("\x8a"), 1, kTextEncodingMacRoman, hfs), noErr);
  ASSERT_EQ(unicodeToDiskName(u(hfs), hfs.size(), out), noErr);
  EXPECT_EQ(out, "\xc3\xa4");
  out = "stale";
  std::u16string lone = std::u16string(u"a") + char16_t(0xD800);
  EXPECT_EQ(unicodeToDiskName(u(lone), lone.size(), out), kTextMalformedInputErr);
  EXPECT_TRUE(out.empty());
  std::u16string lowEscape = std::u16string(u"a") + char16_t(0xDC41);
  EXPECT_EQ(unicodeToDiskName(u(lowEscape), lowEscape.size(), out), kTextMalformedInputErr);
}

namespace {

struct Normalization {
  const char *label;
  std::string disk;
  DiskNameNormalization form;
  std::string other;
};

const Normalization kNormalizations[] = {
    {"Ascii", "plain:name.txt", DiskNameNormalization::Both, ""},
    {"Composed", "caf\xc3\xa9", DiskNameNormalization::Composed, "cafe\xcc\x81"},
    {"Decomposed", "cafe\xcc\x81", DiskNameNormalization::Decomposed, "caf\xc3\xa9"},
    // Marks in another order than NFD's is neither form.
    {"MarksOutOfOrder", "e\xcc\x82\xcc\xa3", DiskNameNormalization::Mixed, "\xe1\xbb\x87"},
    {"PartlyComposed", "\xc3\xa9" "e\xcc\x81", DiskNameNormalization::Mixed,
     "\xc3\xa9\xc3\xa9"},
    // A compatibility ideograph is in neither form; both give its unified one.
    {"Singleton", "\xef\xa4\x80", DiskNameNormalization::Mixed, "\xe8\xb1\x88"},
    {"Hangul", "\xed\x95\x9c", DiskNameNormalization::Composed,
     "\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab"},
    // Bytes that are not UTF-8 stay; the rest is normalized around them.
    {"NotUTF8", "caf\xe9", DiskNameNormalization::Both, ""},
    {"NotUTF8Decomposed", "\xff" "e\xcc\x81", DiskNameNormalization::Decomposed,
     "\xff\xc3\xa9"},
    {"NonAsciiInBothForms", "\xc3\x9f\xe2\x82\xac", DiskNameNormalization::Both, ""},
};

class DiskNameForms : public ::testing::TestWithParam<Normalization> {};

INSTANTIATE_TEST_SUITE_P(Names, DiskNameForms, ::testing::ValuesIn(kNormalizations),
                         [](const auto &info) { return std::string(info.param.label); });

} // namespace

TEST_P(DiskNameForms, HaveAtMostOneOtherForm) {
  const Normalization &n = GetParam();
  std::string other = "stale";
  EXPECT_EQ(diskNameNormalization(n.disk, &other), n.form);
  EXPECT_EQ(other, n.other);
  EXPECT_EQ(diskNameNormalization(n.disk), n.form);
  // The other form of the other form is the name again, for a name in one.
  if (n.form == DiskNameNormalization::Composed || n.form == DiskNameNormalization::Decomposed) {
    std::string back;
    diskNameNormalization(other, &back);
    EXPECT_EQ(back, n.disk);
  }
  // The forms a disk name is written in.
  const std::u16string api = diskNameToUnicode(n.disk);
  std::string composed, decomposed;
  ASSERT_EQ(unicodeToDiskName(u(api), api.size(), composed), noErr);
  ASSERT_EQ(unicodeToDiskName(u(api), api.size(), decomposed, DiskNameForm::Decomposed), noErr);
  EXPECT_EQ(composed, n.form == DiskNameNormalization::Composed || n.form == DiskNameNormalization::Both ? n.disk : n.other);
  EXPECT_EQ(decomposed == n.disk, n.form == DiskNameNormalization::Decomposed ||
                                      n.form == DiskNameNormalization::Both);
}
