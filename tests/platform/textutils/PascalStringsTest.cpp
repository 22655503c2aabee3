#include <CoreServices/CoreServices.h>

#include <gtest/gtest.h>

#include <string>

TEST(PascalStrings, RoundTripAndLimits) {
  const unsigned char abc[] = {3, 'a', 'b', 'c'};
  char c[256];
  CopyPascalStringToC(abc, c);
  EXPECT_STREQ(c, "abc");

  const unsigned char empty[] = {0};
  CopyPascalStringToC(empty, c);
  EXPECT_STREQ(c, "");

  Str255 p;
  std::string longText(300, 'q');
  CopyCStringToPascal(longText.c_str(), p);
  EXPECT_EQ(p[0], 255);
  CopyPascalStringToC(p, c);
  EXPECT_EQ(std::string(c), std::string(255, 'q'));
}

TEST(PascalStrings, InPlaceConversion) {
  unsigned char buf[256] = {5, 'h', 'e', 'l', 'l', 'o'};
  CopyPascalStringToC(buf, reinterpret_cast<char *>(buf));
  EXPECT_STREQ(reinterpret_cast<char *>(buf), "hello");
  CopyCStringToPascal(reinterpret_cast<char *>(buf), buf);
  EXPECT_EQ(buf[0], 5);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf + 1), 5), "hello");
}
