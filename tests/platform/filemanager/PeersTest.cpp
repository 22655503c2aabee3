// Mac metadata met with the real programs that share it: the file server for
// Mac clients (through its client) and the archiver, with the `._` file layer
// and through the layer's fork calls.
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

/// The resource fork of `path` read through the layer's calls, a mebibyte a
/// call; "<error N>" when a call fails.
std::string readResourceFork(const std::string &path) {
  FSRef ref;
  HFSUniStr255 name;
  FSGetResourceForkName(&name);
  FSIORefNum fork;
  if (OSErr err = FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr))
    return "<error " + std::to_string(err) + ">";
  if (OSErr err = FSOpenFork(&ref, name.length, name.unicode, fsRdPerm, &fork))
    return "<error " + std::to_string(err) + ">";
  std::string bytes;
  std::vector<char> buffer(1 << 20);
  ByteCount got = 0;
  OSErr err;
  while ((err = FSReadFork(fork, fsAtMark, 0, buffer.size(), buffer.data(), &got)) == noErr)
    bytes.append(buffer.data(), got);
  bytes.append(buffer.data(), got);
  FSCloseFork(fork);
  return err == eofErr ? bytes : "<error " + std::to_string(err) + ">";
}

/// Writes `bytes` from `at` of the resource fork of `path` through the layer.
OSErr writeResourceFork(const std::string &path, SInt64 at, const std::string &bytes) {
  FSRef ref;
  HFSUniStr255 name;
  FSGetResourceForkName(&name);
  FSIORefNum fork;
  if (OSErr err = FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr))
    return err;
  if (OSErr err = FSOpenFork(&ref, name.length, name.unicode, fsRdWrPerm, &fork))
    return err;
  OSErr err = FSWriteFork(fork, fsFromStart, at, bytes.size(), bytes.data(), nullptr);
  OSErr closed = FSCloseFork(fork);
  return err ? err : closed;
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

// The archiver's `._` file reads here, through the `._` layer and through the
// fork calls, which grow its fork in place (it puts the Finder information
// first in its header, but last but one in the file).
TEST(ArchiverPeer, ItsSidecarReadsHereAndItsForkThroughTheForkCalls) {
  if (!fmtest::haveProgram("unar"))
    GTEST_SKIP() << "unar is not installed";
  TempDir dir;
  const std::string fork = resourceBytes(300000);
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

  EXPECT_EQ(readResourceFork(dir / "doc.txt"), fork);
  ASSERT_EQ(writeResourceFork(dir / "doc.txt", SInt64(fork.size()), "!"), noErr);
  EXPECT_EQ(readResourceFork(dir / "doc.txt"), fork + "!");
  ASSERT_EQ(sidecar::open(d.get(), "doc.txt", objectStatx(d.get(), "doc.txt"), O_RDONLY, f, found),
            noErr);
  ASSERT_TRUE(sidecar::readFinderInfo(f, fi));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(fi), 8), "TEXTttxt");
}


// The fork calls of the layer and the file server's resource fork stream
// meet in the same `._` file: what one writes, the other reads whole, and
// a change by either keeps the other's bytes.
TEST_F(FileServerPeer, ForkCallsAndTheServersStreamShareTheResourceFork) {
  fmtest::writeFile(share_ / "theirs", "data");
  const std::string theirs = resourceBytes(300000);
  ASSERT_TRUE(server_.putStream("theirs", "AFP_Resource", theirs));
  EXPECT_EQ(readResourceFork(share_ / "theirs"), theirs);
  FSRef ref;
  ASSERT_EQ(fmtest::refFor(share_ / "theirs", ref), noErr);
  FSCatalogInfo info{};
  ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoRsrcSizes, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(info.rsrcLogicalSize, theirs.size());
  // The layer adds to the server's fork; the server serves all of it.
  ASSERT_EQ(writeResourceFork(share_ / "theirs", SInt64(theirs.size()), "and ours"), noErr);
  std::string served;
  ASSERT_TRUE(server_.getStream("theirs", "AFP_Resource", served));
  EXPECT_EQ(served, theirs + "and ours");

  fmtest::writeFile(share_ / "ours", "data");
  const std::string ours = resourceBytes(5 << 20);
  ASSERT_EQ(writeResourceFork(share_ / "ours", 0, ours), noErr);
  ASSERT_TRUE(server_.getStream("ours", "AFP_Resource", served));
  EXPECT_TRUE(served == ours) << served.size() << " bytes served of " << ours.size();
}
