#include "strings/StringHelpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace {

// Takes ownership of an allocating itoa result.
std::string owned(char *text) {
  std::unique_ptr<char[]> buffer(text);
  return text ? std::string(text) : std::string("<null>");
}

TEST(Itoa, AllocatingFormsGiveFullTextForEveryWidth) {
  EXPECT_EQ(owned(itoa(UInt32{0})), "0");
  EXPECT_EQ(owned(itoa(UInt32{7})), "7");
  EXPECT_EQ(owned(itoa(std::numeric_limits<UInt32>::max())), "4294967295");
  EXPECT_EQ(owned(itoa(SInt32{-7})), "-7");
  EXPECT_EQ(owned(itoa(SInt32{1000000000})), "1000000000");
  EXPECT_EQ(owned(itoa(std::numeric_limits<SInt32>::min())), "-2147483648");
  EXPECT_EQ(owned(itoa(std::numeric_limits<SInt32>::max())), "2147483647");
  EXPECT_EQ(owned(itoa(SInt16{0})), "0");
  EXPECT_EQ(owned(itoa(std::numeric_limits<SInt16>::min())), "-32768");
  EXPECT_EQ(owned(itoa(SInt16{32767})), "32767");
}

TEST(Itoa, BufferFormKeepsLowOrderDigitsAndPutsSignOutsideTheSize) {
  char buffer[40];
  EXPECT_EQ(itoa(buffer, 4, 12345), 1);
  EXPECT_STREQ(buffer, "345");
  // The sign is written after size - 1 digits: five bytes in all.
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(itoa(buffer, 4, -12345), 2);
  EXPECT_STREQ(buffer, "-345");
  EXPECT_EQ(itoa(buffer, 31, -120), 2);
  EXPECT_STREQ(buffer, "-120");
  EXPECT_EQ(itoa(buffer, 31, 0), 0);
  EXPECT_STREQ(buffer, "0");
  itoa(buffer, 31, std::numeric_limits<SInt32>::min());
  EXPECT_STREQ(buffer, "-2147483648");
  itoa(buffer, 11, std::numeric_limits<SInt32>::min());
  EXPECT_STREQ(buffer, "-2147483648");
  itoa(buffer, 10, std::numeric_limits<SInt32>::min());
  EXPECT_STREQ(buffer, "-147483648");
}

TEST(Itoa, BufferFormWithNoRoomForDigits) {
  char buffer[4];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(itoa(buffer, 1, 5), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(itoa(buffer, 0, -5), 0);
  EXPECT_STREQ(buffer, "-");
  EXPECT_EQ(itoa(buffer, -3, 0), 0);
  EXPECT_STREQ(buffer, "");
}

TEST(ReverseAndSwitchIt, ExchangeInPlace) {
  char odd[] = "abc";
  EXPECT_EQ(reverse(odd), 1);
  EXPECT_STREQ(odd, "cba");
  char even[] = "abcd";
  EXPECT_EQ(reverse(even), 2);
  EXPECT_STREQ(even, "dcba");
  char one[] = "a";
  EXPECT_EQ(reverse(one), 0);
  char empty[] = "";
  EXPECT_EQ(reverse(empty), 0);
  EXPECT_EQ(reverse(nullptr), 0);

  switchIt(even, 0, 3);
  EXPECT_STREQ(even, "acbd");
  switchIt(even, 1, 1);
  EXPECT_STREQ(even, "acbd");
}

TEST(STRSTR, FindsTheFirstOccurrenceIgnoringCase) {
  const char *hello = "Hello World";
  EXPECT_EQ(STRSTR(hello, "WORLD"), hello + 6);
  EXPECT_EQ(STRSTR(hello, "l"), hello + 2);
  const char *abc = "abc";
  EXPECT_EQ(STRSTR(abc, ""), abc);
  const char *empty = "";
  EXPECT_EQ(STRSTR(empty, ""), empty);
  EXPECT_EQ(STRSTR("", "a"), nullptr);
  EXPECT_EQ(STRSTR("ab", "abc"), nullptr);
  // A failed start does not hide a match that begins inside it.
  const char *aab = "aaB";
  EXPECT_EQ(STRSTR(aab, "AB"), aab + 1);
}

TEST(STRSTR, BytesAboveAsciiMatchOnlyThemselves) {
  const char *text = "x\xC9y";
  EXPECT_EQ(STRSTR(text, "\xC9"), text + 1);
  EXPECT_EQ(STRSTR(text, "\xE9"), nullptr);
}

TEST(STRNCMP, ComparesIgnoringCaseWithinTheCount) {
  EXPECT_EQ(STRNCMP("File.TXT", "file.txt", 8), 0);
  EXPECT_EQ(STRNCMP("abc", "abd", 2), 0);
  EXPECT_NE(STRNCMP("abc", "abd", 3), 0);
  EXPECT_EQ(STRNCMP("abc", "ABC", 10), 0); // stops at the common terminator
  EXPECT_NE(STRNCMP("abc", "abcd", 10), 0);
}

TEST(STRNCMP, ReportsTheRawByteDifference) {
  EXPECT_EQ(STRNCMP("a", "B", 1), 97 - 66);
  EXPECT_EQ(STRNCMP("B", "a", 1), 66 - 97);
  // Bytes are unsigned: 0xE9 lies above 'a'.
  EXPECT_GT(STRNCMP("\xE9", "a", 1), 0);
}

TEST(STRNCMP, ZeroAndNegativeCounts) {
  // A count of 0 reads neither string.
  EXPECT_EQ(STRNCMP(nullptr, nullptr, 0), 0);
  EXPECT_EQ(STRNCMP("abcdef", "ABCDEF", -1), 0);
  EXPECT_NE(STRNCMP("abcdef", "ABCDEx", -1), 0);
}

} // namespace
