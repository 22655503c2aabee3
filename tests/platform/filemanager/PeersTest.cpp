// Mac metadata met with the real programs that share it: the file server for
// Mac clients (through its client) and the archiver.
#include "platform/filemanager/DoubleHeader.h"
#include "platform/filemanager/Sidecar.h"

#include "FileManagerTestSupport.h"
#include "PeerSupport.h"

#include <gtest/gtest.h>

#include <sys/xattr.h>

namespace dbl = quillmate::fm::dbl;
namespace sidecar = quillmate::fm::sidecar;
namespace sys = quillmate::fm::sys;
using fmtest::TempDir;

namespace {

std::string resourceBytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = char(i * 7 + i / 251);
  return s;
}

struct statx objectStatx(int dirfd, const char *name) {
  struct statx stx {};
  sys::statxAt(dirfd, name, STATX_INO | STATX_BTIME | STATX_MODE | STATX_TYPE, &stx);
  return stx;
}

class FileServerPeer : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(share_.path().empty());
    if (!server_.unavailable().empty())
      GTEST_SKIP() << server_.unavailable();
  }
  TempDir share_;
  TempDir state_;
  fmtest::FileServer server_{share_.path(), state_.path()};
};

} // namespace

TEST_F(FileServerPeer, ReadsTheResourceForkOfAnySizeEachWritesForTheOther) {
  // The server's `._` file, read here.
  fmtest::writeFile(share_ / "theirs", "data");
  const std::string theirs = resourceBytes(10240);
  ASSERT_TRUE(server_.putStream("theirs", "AFP_Resource", theirs));
  EXPECT_EQ(fmtest::sidecarFork(share_.path(), "theirs"), theirs);

  // Ours, written here, read through the server: larger than one extended
  // attribute holds on any file system.
  fmtest::writeFile(share_ / "ours", "data");
  const std::string ours = resourceBytes(200000);
  sys::Fd dir(::open(share_.path().c_str(), O_RDONLY | O_DIRECTORY));
  sidecar::File f;
  ASSERT_EQ(sidecar::create(dir.get(), "ours", objectStatx(dir.get(), "ours"), nullptr, ours.data(),
                            ours.size(), false, f),
            noErr);
  std::string served;
  ASSERT_TRUE(server_.getStream("ours", "AFP_Resource", served));
  EXPECT_EQ(served, ours);
}

TEST(ArchiverPeer, ItsSidecarReadsHere) {
  if (!fmtest::haveProgram("unar"))
    GTEST_SKIP() << "unar is not installed";
  TempDir dir;
  const std::string fork = resourceBytes(20000);
  fmtest::writeFile(dir / "doc.bin",
                    fmtest::macBinary("doc.txt", "hello", fork, "TEXT", "ttxt", 0x0100));
  ASSERT_EQ(fmtest::run("cd '" + dir.path() + "' && unar -q -k hidden doc.bin >/dev/null 2>&1"), 0);
  EXPECT_EQ(fmtest::readFile(dir / "doc.txt"), "hello");
  EXPECT_EQ(fmtest::sidecarFork(dir.path(), "doc.txt"), fork);

  sys::Fd d(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  sidecar::File f;
  sidecar::Found found;
  ASSERT_EQ(sidecar::open(d.get(), "doc.txt", objectStatx(d.get(), "doc.txt"), O_RDONLY, f, found),
            noErr);
  ASSERT_EQ(found, sidecar::Found::Attached);
  UInt8 fi[dbl::kFinderInfoSize];
  ASSERT_TRUE(sidecar::readFinderInfo(f, fi));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(fi), 8), "TEXTttxt");
  EXPECT_EQ(fi[8], 0x01); // the Finder flags' high byte
}
