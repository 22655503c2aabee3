// CFString: contents, conversions, and the Mac OS Roman table checked against
// Python's mac_roman codec.
#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<UniChar> unitsOf(CFStringRef s) {
  std::vector<UniChar> units(static_cast<size_t>(CFStringGetLength(s)));
  CFStringGetCharacters(s, CFRangeMake(0, CFStringGetLength(s)), units.data());
  return units;
}

// What Python's codec makes of each byte, one code point per line.
std::vector<UInt32> pythonMacRomanTable() {
  std::vector<UInt32> table;
  FILE *p = popen("/usr/bin/python3 -c \"import sys; "
                  "[print(ord(c)) for c in bytes(range(256)).decode('mac_roman')]\"",
                  "r");
  if (!p) return table;
  unsigned value;
  while (std::fscanf(p, "%u", &value) == 1) table.push_back(value);
  pclose(p);
  return table;
}

TEST(CFStringConstants, DecodeUTF8IntoUTF16) {
  EXPECT_EQ(unitsOf(CFSTR("Ab")), (std::vector<UniChar>{'A', 'b'}));
  EXPECT_EQ(unitsOf(CFSTR("\xc3\xa9")), (std::vector<UniChar>{0x00e9}));
  EXPECT_EQ(unitsOf(CFSTR("\xe2\x82\xac")), (std::vector<UniChar>{0x20ac}));
  // Outside the BMP: a surrogate pair.
  EXPECT_EQ(unitsOf(CFSTR("\xf0\x9f\x98\x80")), (std::vector<UniChar>{0xd83d, 0xde00}));
  EXPECT_EQ(CFStringGetLength(CFSTR("")), 0);
}

TEST(CFStringMacRoman, AgreesWithPythonForEveryByte) {
  std::vector<UInt32> reference = pythonMacRomanTable();
  ASSERT_EQ(reference.size(), 256u) << "python3 did not produce the table";
  for (int byte = 1; byte < 256; ++byte) {
    char in[2] = {static_cast<char>(byte), 0};
    CFStringRef s = CFStringCreateWithCString(nullptr, in, kCFStringEncodingMacRoman);
    ASSERT_NE(s, nullptr) << byte;
    ASSERT_EQ(CFStringGetLength(s), 1) << byte;
    EXPECT_EQ(CFStringGetCharacterAtIndex(s, 0), reference[byte]) << "byte " << byte;
    // And back: every character of the table has its byte.
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_TRUE(CFStringGetCString(s, out, sizeof out, kCFStringEncodingMacRoman)) << byte;
    EXPECT_EQ(static_cast<unsigned char>(out[0]), byte);
    EXPECT_EQ(out[1], '\0');
    CFRelease(s);
  }
  // The NUL byte, which a C string cannot carry, through the byte form.
  UInt8 nul = 0;
  CFStringRef s = CFStringCreateWithBytes(nullptr, &nul, 1, kCFStringEncodingMacRoman, false);
  ASSERT_EQ(CFStringGetLength(s), 1);
  EXPECT_EQ(CFStringGetCharacterAtIndex(s, 0), reference[0]);
  CFRelease(s);
}

TEST(CFStringGetCString, FailsWhenTheBufferIsTooSmallAndLeavesItTerminated) {
  CFStringRef s = CFSTR("abcd");
  char buffer[8];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_FALSE(CFStringGetCString(s, buffer, 4, kCFStringEncodingMacRoman));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[4], 'z') << "wrote past the size it was given";
  EXPECT_TRUE(CFStringGetCString(s, buffer, 5, kCFStringEncodingMacRoman));
  EXPECT_STREQ(buffer, "abcd");
  // The byte count, not the unit count, must fit: "é" is two bytes in UTF-8.
  EXPECT_FALSE(CFStringGetCString(CFSTR("\xc3\xa9"), buffer, 2, kCFStringEncodingUTF8));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_TRUE(CFStringGetCString(CFSTR("\xc3\xa9"), buffer, 2, kCFStringEncodingMacRoman));
  EXPECT_EQ(static_cast<unsigned char>(buffer[0]), 0x8e);
}

TEST(CFStringGetCString, ASizeOfZeroTouchesNothing) {
  char byte = 'q';
  EXPECT_FALSE(CFStringGetCString(CFSTR("a"), &byte, 0, kCFStringEncodingUTF8));
  EXPECT_EQ(byte, 'q');
  EXPECT_FALSE(CFStringGetCString(CFSTR("a"), nullptr, 10, kCFStringEncodingUTF8));
}

TEST(CFStringGetCString, FailsForCharactersMacRomanLacks) {
  char buffer[64];
  std::memset(buffer, 'z', sizeof buffer);
  // A-macron and a CJK ideograph have no Mac OS Roman form; no substitute byte.
  EXPECT_FALSE(CFStringGetCString(CFSTR("ok \xc4\x80"), buffer, sizeof buffer,
                                  kCFStringEncodingMacRoman));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_FALSE(CFStringGetCString(CFSTR("\xe4\xb8\xad"), buffer, sizeof buffer,
                                  kCFStringEncodingMacRoman));
  // The same text is fine in UTF-8.
  EXPECT_TRUE(CFStringGetCString(CFSTR("ok \xc4\x80"), buffer, sizeof buffer,
                                 kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, "ok \xc4\x80");
}

TEST(CFStringGetCString, ComposesBeforeConvertingToMacRoman) {
  const UniChar decomposed[] = {'e', 0x0301};
  CFStringRef s = CFStringCreateWithCharacters(nullptr, decomposed, 2);
  char buffer[4];
  ASSERT_TRUE(CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingMacRoman));
  EXPECT_EQ(static_cast<unsigned char>(buffer[0]), 0x8e);
  EXPECT_EQ(buffer[1], '\0');
  // UTF-8 keeps the units as they are.
  ASSERT_TRUE(CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, "e\xcc\x81");
  CFRelease(s);
}

TEST(CFStringGetCString, RejectsUnpairedSurrogatesInUTF8) {
  const UniChar lone[] = {'a', 0xd800};
  CFStringRef s = CFStringCreateWithCharacters(nullptr, lone, 2);
  ASSERT_EQ(CFStringGetLength(s), 2);
  char buffer[16];
  EXPECT_FALSE(CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8));
  EXPECT_EQ(buffer[0], '\0');
  CFRelease(s);
}

TEST(CFStringCreate, RejectsMalformedInput) {
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xc3", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xff", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xed\xa0\x80", kCFStringEncodingUTF8), nullptr)
      << "an encoded surrogate is not UTF-8";
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\x80", kCFStringEncodingASCII), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "a", 0x7777), nullptr);
}

TEST(CFStringCreate, KeepsEveryUnitAndEmbeddedNul) {
  const UInt8 bytes[] = {'a', 0, 'b'};
  CFStringRef s = CFStringCreateWithBytes(nullptr, bytes, 3, kCFStringEncodingUTF8, false);
  EXPECT_EQ(unitsOf(s), (std::vector<UniChar>{'a', 0, 'b'}));
  CFRelease(s);
  CFStringRef empty = CFStringCreateWithCString(nullptr, "", kCFStringEncodingUTF8);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(CFStringGetLength(empty), 0);
  EXPECT_TRUE(CFEqual(empty, CFSTR("")));
  CFRelease(empty);
}

TEST(CFStringCompare, OrdersByUnitsAndFoldsCaseOnRequest) {
  EXPECT_EQ(CFStringCompare(CFSTR("a"), CFSTR("b"), 0), kCFCompareLessThan);
  EXPECT_EQ(CFStringCompare(CFSTR("b"), CFSTR("a"), 0), kCFCompareGreaterThan);
  EXPECT_EQ(CFStringCompare(CFSTR("ab"), CFSTR("a"), 0), kCFCompareGreaterThan);
  EXPECT_EQ(CFStringCompare(CFSTR("B"), CFSTR("a"), 0), kCFCompareLessThan);
  EXPECT_EQ(CFStringCompare(CFSTR("Stra\xc3\x9f" "e"), CFSTR("STRASSE"),
                            kCFCompareCaseInsensitive),
            kCFCompareEqualTo);
}

TEST(CFStringCreate, ConvertsOtherByteEncodings) {
  CFStringRef latin1 = CFStringCreateWithCString(nullptr, "\xe9", kCFStringEncodingISOLatin1);
  EXPECT_TRUE(CFEqual(latin1, CFSTR("\xc3\xa9")));
  CFStringRef cp1252 = CFStringCreateWithCString(nullptr, "\x80", kCFStringEncodingWindowsLatin1);
  EXPECT_TRUE(CFEqual(cp1252, CFSTR("\xe2\x82\xac")));
  char buffer[4];
  EXPECT_FALSE(CFStringGetCString(cp1252, buffer, sizeof buffer, kCFStringEncodingISOLatin1));
  CFRelease(latin1);
  CFRelease(cp1252);
}

} // namespace
