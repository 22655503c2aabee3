#include <CoreServices/CoreServices.h>

#include "platform/filemanager/testing/FileManagerTesting.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace fmt = quillmate::fm::testing;

namespace {
std::string readAll(const char *path) {
  std::string out;
  FILE *f = std::fopen(path, "rb");
  if (!f)
    return out;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
    out.append(buf, n);
  std::fclose(f);
  return out;
}
} // namespace

TEST(ClassicIO, WriteThenReadAtTheMark) {
  char path[] = "/tmp/quillmate-classicio-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  FSIORefNum ref = fmt::adoptDescriptorAsFork(fd);
  ASSERT_GT(ref, 0);

  SInt32 count = 6;
  EXPECT_EQ(FSWrite(ref, &count, "hello\n"), noErr);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(readAll(path), "hello\n");

  ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
  char buf[16] = {};
  count = 16;
  EXPECT_EQ(FSRead(ref, &count, buf), eofErr);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(std::string(buf, 6), "hello\n");

  EXPECT_EQ(fmt::closeAdoptedFork(ref), noErr);
  unlink(path);
}

TEST(ClassicIO, UnknownReferenceNumbersAndBadCounts) {
  SInt32 count = 1;
  EXPECT_EQ(FSWrite(0, &count, "x"), rfNumErr);
  EXPECT_EQ(FSWrite(-3, &count, "x"), rfNumErr);
  EXPECT_EQ(FSWrite(30000, &count, "x"), rfNumErr);
  EXPECT_EQ(FSRead(1234, &count, nullptr), rfNumErr);
  EXPECT_EQ(FSWrite(1, nullptr, "x"), paramErr);
  count = -1;
  EXPECT_EQ(FSWrite(1, &count, "x"), paramErr);
  EXPECT_EQ(fmt::closeAdoptedFork(77), rfNumErr);
}

TEST(ClassicIO, ReferenceNumbersAreReusedLowestFirst) {
  int a = open("/dev/null", O_WRONLY), b = open("/dev/null", O_WRONLY);
  FSIORefNum ra = fmt::adoptDescriptorAsFork(a), rb = fmt::adoptDescriptorAsFork(b);
  ASSERT_GT(ra, 0);
  ASSERT_GT(rb, ra);
  EXPECT_EQ(fmt::closeAdoptedFork(ra), noErr);
  SInt32 count = 1;
  EXPECT_EQ(FSWrite(ra, &count, "x"), rfNumErr);
  int c = open("/dev/null", O_WRONLY);
  EXPECT_EQ(fmt::adoptDescriptorAsFork(c), ra);
  EXPECT_EQ(fmt::closeAdoptedFork(ra), noErr);
  EXPECT_EQ(fmt::closeAdoptedFork(rb), noErr);
}

TEST(ClassicIO, WriteToAReadOnlyDescriptorFails) {
  int fd = open("/dev/null", O_RDONLY);
  FSIORefNum ref = fmt::adoptDescriptorAsFork(fd);
  SInt32 count = 3;
  EXPECT_EQ(FSWrite(ref, &count, "abc"), wrPermErr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(fmt::closeAdoptedFork(ref), noErr);
}
