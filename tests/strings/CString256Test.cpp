#include "strings/CString256.h"

#include "platform/filemanager/testing/FileManagerTesting.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string repeated(std::size_t n, char first = 'a') {
  std::string s;
  for (std::size_t i = 0; i < n; ++i)
    s += static_cast<char>(first + i % 26);
  return s;
}

std::size_t length(const CString256 &s) { return std::strlen(s.text); }

TEST(CString256Construct, FromEveryStringForm) {
  EXPECT_STREQ(CString256().text, "");
  EXPECT_STREQ(CString256("abc").text, "abc");
  char mutableText[] = "xyz";
  EXPECT_STREQ(CString256(mutableText).text, "xyz");
  EXPECT_STREQ(CString256(static_cast<char *>(nullptr)).text, "");
  EXPECT_STREQ(CString256(static_cast<const char *>(nullptr)).text, "");

  unsigned char pascal[] = {3, 'a', 'b', 'c', 'Z'};
  EXPECT_STREQ(CString256(pascal).text, "abc");
  const unsigned char emptyPascal[] = {0, 'q'};
  EXPECT_STREQ(CString256(emptyPascal).text, "");

  CString256 original("copy me");
  CString256 &ref = original;
  const CString256 &cref = original;
  EXPECT_STREQ(CString256(ref).text, "copy me");
  EXPECT_STREQ(CString256(cref).text, "copy me");
}

TEST(CString256Construct, LongSourcesAreCutAt255) {
  std::string long300 = repeated(300);
  CString256 s(long300.c_str());
  EXPECT_EQ(length(s), 255u);
  EXPECT_EQ(std::string(s.text), long300.substr(0, 255));

  unsigned char full[256];
  full[0] = 255;
  std::memset(full + 1, 'p', 255);
  CString256 p(full);
  EXPECT_EQ(length(p), 255u);
}

TEST(CString256Assign, ReplacesTheTextFromEveryForm) {
  CString256 s("previous text");
  s = "abc";
  EXPECT_STREQ(s.text, "abc");
  s = static_cast<const char *>(nullptr);
  EXPECT_STREQ(s.text, "");
  s = "again";
  s = static_cast<char *>(nullptr);
  EXPECT_STREQ(s.text, "");

  std::string long300 = repeated(300);
  s = long300.c_str();
  EXPECT_EQ(std::string(s.text), long300.substr(0, 255));

  unsigned char pascal[] = {2, 'h', 'i'};
  s = pascal;
  EXPECT_STREQ(s.text, "hi");
  const unsigned char emptyPascal[] = {0};
  s = emptyPascal;
  EXPECT_STREQ(s.text, "");

  CString256 other("other");
  s = other;
  EXPECT_STREQ(s.text, "other");
  const CString256 constOther("const other");
  s = constOther;
  EXPECT_STREQ(s.text, "const other");
}

TEST(CString256Assign, OverlappingSourcesKeepTheirText) {
  CString256 s("hello world");
  CString256 &alias = s;
  s = alias;
  EXPECT_STREQ(s.text, "hello world");
  s = s.text + 6;
  EXPECT_STREQ(s.text, "world");
  s = s.text;
  EXPECT_STREQ(s.text, "world");
}

TEST(CString256Assign, Integers) {
  CString256 s("x");
  s = std::numeric_limits<SInt32>::min();
  EXPECT_STREQ(s.text, "-2147483648");
  s = 0;
  EXPECT_STREQ(s.text, "0");
  s = 2147483647;
  EXPECT_STREQ(s.text, "2147483647");
}

TEST(CString256Assign, HandlesCopyUpTo255BytesOrTheFirstNul) {
  CString256 s("old");
  Handle big = NewHandle(300);
  ASSERT_NE(big, nullptr);
  std::string long300 = repeated(300);
  std::memcpy(*big, long300.data(), 300);
  s = big;
  EXPECT_EQ(std::string(s.text), long300.substr(0, 255));
  DisposeHandle(big);

  Handle withNul = NewHandle(5);
  std::memcpy(*withNul, "ab\0cd", 5);
  s = withNul;
  EXPECT_STREQ(s.text, "ab");
  DisposeHandle(withNul);

  // Bytes taken as they are: no terminator needed in the block.
  Handle exact = NewHandle(3);
  std::memcpy(*exact, "xyz", 3);
  s = exact;
  EXPECT_STREQ(s.text, "xyz");
  DisposeHandle(exact);

  s = "old";
  Handle empty = NewHandle(0);
  s = empty;
  EXPECT_STREQ(s.text, "");
  DisposeHandle(empty);

  s = "old";
  Handle noBlock = NewEmptyHandle();
  s = noBlock;
  EXPECT_STREQ(s.text, "");
  DisposeHandle(noBlock);

  s = "old";
  s = static_cast<Handle>(nullptr);
  EXPECT_STREQ(s.text, "");
}

TEST(CString256Assign, CoreFoundationStringsConvertToMacRoman) {
  CString256 s("old");
  s = CFSTR("plain");
  EXPECT_STREQ(s.text, "plain");
  s = CFSTR("caf\u00e9 \u2022");
  EXPECT_STREQ(s.text, "caf\x8e \xa5");

  // Characters Mac OS Roman lacks, and texts longer than 255 bytes, do not
  // convert; the text is left empty and terminated.
  s = "old";
  s = CFSTR("snow \u2603");
  EXPECT_STREQ(s.text, "");
  std::string long300 = repeated(300);
  CFStringRef tooLong =
      CFStringCreateWithCString(nullptr, long300.c_str(), kCFStringEncodingUTF8);
  ASSERT_NE(tooLong, nullptr);
  s = "old";
  s = tooLong;
  EXPECT_STREQ(s.text, "");
  std::string exact255 = repeated(255);
  CFStringRef fits = CFStringCreateWithCString(nullptr, exact255.c_str(), kCFStringEncodingUTF8);
  s = fits;
  EXPECT_EQ(std::string(s.text), exact255);

  s = "old";
  s = static_cast<CFStringRef>(nullptr);
  EXPECT_STREQ(s.text, "");
  CFRelease(tooLong);
  CFRelease(fits);
}

TEST(CString256Append, TextIsCutAtTheRoomLeft) {
  CString256 s(repeated(250).c_str());
  s += "0123456789";
  EXPECT_EQ(length(s), 255u);
  EXPECT_EQ(std::string(s.text + 250), "01234");
  s += "more";
  EXPECT_EQ(length(s), 255u);

  CString256 t("ab");
  t += static_cast<char *>(nullptr);
  t += static_cast<const char *>(nullptr);
  EXPECT_STREQ(t.text, "ab");
  char mutableText[] = "cd";
  t += mutableText;
  t += "ef";
  EXPECT_STREQ(t.text, "abcdef");
}

TEST(CString256Append, SingleCharacterStopsAt254) {
  CString256 s(repeated(253).c_str());
  s += 'x';
  EXPECT_EQ(length(s), 254u);
  EXPECT_EQ(s.text[253], 'x');
  s += 'y';
  EXPECT_EQ(length(s), 254u);
  s += "z"; // the text append still reaches 255
  EXPECT_EQ(length(s), 255u);
  s += 'w';
  EXPECT_EQ(length(s), 255u);

  CString256 nul("ab");
  nul += '\0';
  EXPECT_STREQ(nul.text, "ab");
}

TEST(CString256Append, OtherForms) {
  CString256 s("n=");
  s += 42;
  EXPECT_STREQ(s.text, "n=42");
  s += std::numeric_limits<SInt32>::min();
  EXPECT_STREQ(s.text, "n=42-2147483648");

  unsigned char pascal[] = {3, 'a', 'b', 'c'};
  CString256 p("<");
  p += pascal;
  p += static_cast<const unsigned char *>(pascal);
  EXPECT_STREQ(p.text, "<abcabc");

  CString256 c("x");
  c += CString256("yz");
  c += CFSTR("\u00e9!");
  EXPECT_STREQ(c.text, "xyz\x8e!");
  c += CFSTR("\u2603");
  EXPECT_STREQ(c.text, "xyz\x8e!");

  CString256 full(repeated(254).c_str());
  full += CString256("tail");
  EXPECT_EQ(length(full), 255u);
  full += 7;
  EXPECT_EQ(length(full), 255u);
}

TEST(CString256Append, OwnTextAppendsAsACopy) {
  CString256 s("abc");
  s += s.text;
  EXPECT_STREQ(s.text, "abcabc");
  s += s;
  EXPECT_STREQ(s.text, "abcabcabcabc");
  s += s.text + 9;
  EXPECT_STREQ(s.text, "abcabcabcabcabc");
}

TEST(CString256Edit, IndexToLowerAndFilter) {
  CString256 s("ReadMe 1.TXT");
  s[0] = 'r';
  EXPECT_EQ(s[4], 'M');
  const CString256 &cs = s;
  EXPECT_EQ(cs[1], 'e');
  s.to_lower();
  EXPECT_STREQ(s.text, "readme 1.txt");

  auto lowered = [](const char *text) {
    CString256 t(text);
    t.to_lower();
    return std::string(t.text);
  };
  EXPECT_EQ(lowered("\xC9t\xC9Z"), "\xC9t\xC9z");
  auto filtered = [](const char *text) {
    CString256 t(text);
    t.filter_to_alnum_or_punct();
    return std::string(t.text);
  };
  EXPECT_EQ(filtered("a b\tc!"), "abc!");
  EXPECT_EQ(filtered("  x\x01\x7f\x80y\xFF-  "), "xy-");
  EXPECT_EQ(filtered(" \t\n"), "");
}

TEST(CString256Edit, ChangeSuffixCutsAtTheLastDotAnywhere) {
  CString256 s("archive.tar.gz");
  EXPECT_EQ(&s.change_suffix("zip"), &s);
  EXPECT_STREQ(s.text, "archive.tar.zip");
  s = "README";
  EXPECT_STREQ(s.change_suffix("zip").text, "README.zip");
  s = "";
  EXPECT_STREQ(s.change_suffix("zip").text, ".zip");
  s = "dir.old/file";
  EXPECT_STREQ(s.change_suffix("zip").text, "dir.zip");
  s = "name.txt";
  EXPECT_STREQ(s.change_suffix(nullptr).text, "name.");

  // Suffix taken from the text itself reads as it was before the call.
  s = "a.bcd";
  s.change_suffix(s.text + 2);
  EXPECT_STREQ(s.text, "a.bcd");

  // Whatever does not fit is cut.
  std::string stem = repeated(253);
  s = stem.c_str();
  s.change_suffix("long");
  EXPECT_EQ(std::string(s.text), stem + ".l");
}

TEST(CString256Print, AppendsTheTextAndALineFeedToABuffer) {
  char buffer[300] = "x";
  CString256("abc").print(buffer);
  EXPECT_STREQ(buffer, "xabc\n");
  CString256().print(buffer);
  EXPECT_STREQ(buffer, "xabc\n\n");
}

TEST(CString256Print, WritesTheLineToAnOpenFork) {
  char path[] = "/tmp/quillmate-cstring-print-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  FSIORefNum ref = quillmate::fm::testing::adoptDescriptorAsFork(fd);
  ASSERT_GT(ref, 0);

  EXPECT_EQ(CString256("first").print(ref), noErr);
  std::string full = repeated(255);
  EXPECT_EQ(CString256(full.c_str()).print(ref), noErr);
  EXPECT_EQ(CString256().print(ref), noErr);

  std::string written;
  if (FILE *f = std::fopen(path, "rb")) {
    char chunk[512];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
      written.append(chunk, n);
    std::fclose(f);
  }
  EXPECT_EQ(written, "first\n" + full + "\n\n");
  EXPECT_EQ(quillmate::fm::testing::closeAdoptedFork(ref), noErr);
  unlink(path);

  EXPECT_EQ(CString256("lost").print(static_cast<SInt16>(ref)), rfNumErr);
}

// The pool tests do not depend on test order: they first take every free
// object, so that the next `new` starts a fresh chunk, and give everything
// back at the end.
class CString256Pool : public ::testing::Test {
protected:
  void SetUp() override {
    while (CString256::nfree)
      held.push_back(new CString256);
  }
  void TearDown() override {
    for (CString256 *p : held)
      delete p;
  }
  std::vector<CString256 *> held;
};

TEST_F(CString256Pool, FreshChunkHandsOutObjectZeroThenTopDown) {
  CString256 *first = new CString256("zero");
  held.push_back(first);
  ASSERT_NE(CString256::nfree, nullptr);
  EXPECT_EQ(CString256::nfree, first + 255);
  for (int k = 255; k >= 1; --k) {
    CString256 *p = new CString256;
    held.push_back(p);
    ASSERT_EQ(p, first + k) << "object " << k;
  }
  EXPECT_EQ(CString256::nfree, nullptr);

  // The 257th live object comes from a second chunk.
  CString256 *next = new CString256;
  held.push_back(next);
  EXPECT_TRUE(next < first || next >= first + 256);
  EXPECT_EQ(CString256::nfree, next + 255);
}

TEST_F(CString256Pool, ReleasedObjectsAreReusedLastInFirstOut) {
  CString256 *a = new CString256("a");
  CString256 *b = new CString256("b");
  delete a;
  delete b;
  EXPECT_EQ(CString256::nfree, b);
  CString256 *again = new CString256("again");
  EXPECT_EQ(again, b);
  EXPECT_STREQ(again->text, "again");
  CString256 *then = new CString256(*again);
  EXPECT_EQ(then, a);
  EXPECT_STREQ(then->text, "again");
  held.push_back(again);
  held.push_back(then);

  // Deleting null leaves the pool alone.
  CString256 *none = nullptr;
  CString256 *head = CString256::nfree;
  delete none;
  EXPECT_EQ(CString256::nfree, head);
}

TEST(CString256PoolDeathTest, UseAfterDeleteIsCaught) {
#ifndef QUILLMATE_POOL_POISONING
  GTEST_SKIP() << "needs AddressSanitizer";
#else
  EXPECT_DEATH(
      {
        CString256 *p = new CString256("gone");
        delete p;
        volatile char c = p->text[0];
        (void)c;
      },
      "use-after-poison");
  EXPECT_DEATH(
      {
        CString256 *p = new CString256("gone");
        delete p;
        p->text[1] = 'x';
      },
      "use-after-poison");
#endif
}

} // namespace
