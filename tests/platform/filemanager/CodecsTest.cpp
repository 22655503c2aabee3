// The name and metadata codecs on their own: round trips and damaged input.
#include "platform/filemanager/ExchangeRecord.h"
#include "platform/filemanager/Metadata.h"
#include "platform/filemanager/Names.h"
#include "platform/filemanager/OneByteNames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace names = quillmate::fm::names;
namespace onebyte = quillmate::fm::onebyte;
using quillmate::fm::ExchangeRecord;
using quillmate::fm::Metadata;

namespace {

std::u16string api(const std::string &disk) {
  HFSUniStr255 out;
  names::fromDisk(disk, out);
  return std::u16string(reinterpret_cast<const char16_t *>(out.unicode), out.length);
}

std::string disk(const std::u16string &s) {
  std::string out;
  EXPECT_EQ(names::toDisk(reinterpret_cast<const UniChar *>(s.data()), s.size(), out), noErr);
  return out;
}

TEST(NameCodec, EveryDiskNameRoundTrips) {
  for (const std::string &d :
       {std::string("plain"), std::string("a:b"), std::string("\xf0\x9f\x98\x80"),
        std::string("\xff\xfe"), std::string("\xc3"), std::string("\xe2\x82"),
        std::string("\xc0\xaf"), std::string("\xed\xa0\x80"), std::string("x\xf4\x90\x80\x80")}) {
    EXPECT_EQ(disk(api(d)), d) << d;
  }
  EXPECT_EQ(api("a:b"), u"a/b");
  EXPECT_EQ(api("\xf0\x9f\x98\x80"), u"\U0001F600");
  EXPECT_EQ(api("\xc0\xaf"), std::u16string(u"\xDCC0\xDCAF")); // overlong '/' is not a '/'
}

TEST(NameCodec, BadApiNamesAreRefused) {
  std::string out;
  const char16_t lone[] = {u'a', 0xD800, u'b'};
  EXPECT_EQ(names::toDisk(reinterpret_cast<const UniChar *>(lone), 3, out), bdNamErr);
  const char16_t low[] = {0xDC10};
  EXPECT_EQ(names::toDisk(reinterpret_cast<const UniChar *>(low), 1, out), bdNamErr);
  std::u16string longest(255, u'x');
  EXPECT_EQ(names::toDisk(reinterpret_cast<const UniChar *>(longest.data()), 255, out), noErr);
  std::u16string nfd = u"A\u030A";
  ASSERT_EQ(names::toDiskNFC(reinterpret_cast<const UniChar *>(nfd.data()), nfd.size(), out),
            noErr);
  EXPECT_EQ(out, "\xc3\x85");
}

TEST(MetadataCodec, RoundTripAndDamagedRecords) {
  Metadata m;
  EXPECT_TRUE(m.isDefault());
  m.flags = Metadata::kFolderLocked | Metadata::kHasBackupDate;
  m.textEncodingHint = 0x12345678;
  m.finderInfo[15] = 0xEE;
  m.backupDate = {0x1234, 0x89ABCDEF, 0x5678};
  UInt8 raw[Metadata::kEncodedSize];
  UInt8 buffer[Metadata::kEncodedSizeWithNodeID];
  ASSERT_EQ(m.encode(buffer), Metadata::kEncodedSize);
  std::memcpy(raw, buffer, sizeof raw);
  EXPECT_EQ(raw[0], 1);
  EXPECT_EQ(raw[4], 0x78);
  EXPECT_EQ(raw[48], 0x34);
  Metadata back;
  ASSERT_TRUE(back.decode(raw, sizeof raw));
  EXPECT_EQ(back.flags, m.flags);
  EXPECT_EQ(back.textEncodingHint, 0x12345678u);
  EXPECT_EQ(back.finderInfo[15], 0xEE);
  EXPECT_EQ(+back.backupDate.lowSeconds, 0x89ABCDEFu);

  // A later version with more bytes still reads; short or version 0 is ignored.
  UInt8 longer[80] = {};
  std::memcpy(longer, raw, sizeof raw);
  longer[0] = 2;
  longer[1] |= 0x80; // an unknown flag is dropped
  EXPECT_TRUE(back.decode(longer, sizeof longer));
  EXPECT_EQ(back.flags, m.flags);
  EXPECT_FALSE(back.decode(raw, 20));
  EXPECT_TRUE(back.isDefault());
  raw[0] = 0;
  EXPECT_FALSE(back.decode(raw, sizeof raw));
}

TEST(MetadataCodec, ARecordedNodeIDCountsOnlyForItsInode) {
  Metadata m;
  m.finderInfo[0] = 7;
  m.recordNodeID(1234, 0x1122334455667788ULL, -5);
  EXPECT_FALSE(m.isDefault());
  UInt8 raw[Metadata::kEncodedSizeWithNodeID];
  ASSERT_EQ(m.encode(raw), Metadata::kEncodedSizeWithNodeID);
  EXPECT_EQ(raw[0], 2);
  EXPECT_EQ(raw[1], Metadata::kHasNodeID);
  EXPECT_EQ(raw[56], 0x88);
  EXPECT_EQ(raw[72], 0xD2); // 1234 = 0x4D2
  Metadata back;
  ASSERT_TRUE(back.decode(raw, sizeof raw));
  EXPECT_EQ(back.recordedNodeID(0x1122334455667788ULL, -5), 1234u);
  EXPECT_EQ(back.recordedNodeID(0x1122334455667788ULL, 0), 0u); // another birth: a copy
  EXPECT_EQ(back.recordedNodeID(99, -5), 0u);
  EXPECT_EQ(back.finderInfo[0], 7);

  // What a reader of version 1 sees: the first 56 bytes, the flag dropped.
  ASSERT_TRUE(back.decode(raw, Metadata::kEncodedSize));
  EXPECT_EQ(back.flags, 0);
  EXPECT_EQ(back.recordedNodeID(0x1122334455667788ULL, -5), 0u);
  EXPECT_EQ(back.finderInfo[0], 7);

  // An ID that is the inode's own number needs no record: version 1 again.
  m.recordNodeID(99, 99, 0);
  EXPECT_EQ(m.encode(raw), Metadata::kEncodedSize);
  EXPECT_EQ(raw[0], 1);
  m.finderInfo[0] = 0;
  EXPECT_TRUE(m.isDefault());
}

// The record an exchange leaves: every field comes back; a reader of an
// earlier version sees the home place's record; a record too short, of an
// earlier version or without the flag shows no exchange under way.
TEST(MetadataCodec, ExchangeRecordRoundTripsAndReadsAsItsHomePlace) {
  ExchangeRecord r;
  r.ino = 0x0102030405060708ULL;
  r.birth = -42;
  r.homeFolder = 11;
  r.homeName = ExchangeRecord::nameDigest("a");
  r.awayFolder = 12;
  r.awayName = ExchangeRecord::nameDigest("b");
  r.home.meta.finderInfo[0] = 'A';
  r.home.meta.recordNodeID(77, r.ino, r.birth);
  r.home.mode = 0640;
  r.home.uid = 1000;
  r.home.gid = 100;
  r.home.fileIDMark = 77;
  r.home.atime = {1700000000, 999999999};
  r.away.meta.finderInfo[0] = 'B';
  r.away.meta.flags |= Metadata::kFolderLocked;
  r.away.mode = 0604;
  r.away.atime = {-5, 1};
  UInt8 raw[Metadata::kEncodedSizeWithExchange];
  r.encode(raw);
  EXPECT_EQ(raw[0], 3);
  EXPECT_NE(ExchangeRecord::nameDigest("a"), ExchangeRecord::nameDigest("b"));

  ExchangeRecord back;
  ASSERT_TRUE(back.decode(raw, sizeof raw));
  EXPECT_EQ(back.ino, r.ino);
  EXPECT_EQ(back.birth, -42);
  EXPECT_EQ(back.homeFolder, 11u);
  EXPECT_EQ(back.homeName, r.homeName);
  EXPECT_EQ(back.awayFolder, 12u);
  EXPECT_EQ(back.awayName, r.awayName);
  EXPECT_EQ(back.home.meta.finderInfo[0], 'A');
  EXPECT_EQ(back.home.meta.recordedNodeID(r.ino, r.birth), 77u);
  EXPECT_EQ(back.home.mode, 0640u);
  EXPECT_EQ(back.home.uid, 1000u);
  EXPECT_EQ(back.home.gid, 100u);
  EXPECT_EQ(back.home.fileIDMark, 77u);
  EXPECT_EQ(back.home.atime.tv_sec, 1700000000);
  EXPECT_EQ(back.home.atime.tv_nsec, 999999999);
  EXPECT_EQ(back.away.meta.finderInfo[0], 'B');
  EXPECT_EQ(back.away.meta.flags, Metadata::kFolderLocked);
  EXPECT_EQ(back.away.mode, 0604u);
  EXPECT_EQ(back.away.atime.tv_sec, -5);

  Metadata asRead;
  ASSERT_TRUE(asRead.decode(raw, sizeof raw));
  EXPECT_EQ(asRead.finderInfo[0], 'A');
  EXPECT_EQ(asRead.recordedNodeID(r.ino, r.birth), 77u);
  EXPECT_FALSE(asRead.flags & Metadata::kExchangePending);
  ASSERT_TRUE(asRead.decode(raw, Metadata::kEncodedSize));
  EXPECT_EQ(asRead.finderInfo[0], 'A');

  EXPECT_FALSE(back.decode(raw, sizeof raw - 1));
  UInt8 damaged[sizeof raw];
  std::memcpy(damaged, raw, sizeof raw);
  damaged[1] &= static_cast<UInt8>(~Metadata::kExchangePending);
  EXPECT_FALSE(back.decode(damaged, sizeof damaged));
  std::memcpy(damaged, raw, sizeof raw);
  damaged[0] = 2;
  EXPECT_FALSE(back.decode(damaged, sizeof damaged));
}

TEST(OneByteNames, MangledNamesCarryTheirID) {
  HFSUniStr255 name;
  std::u16string s = u"\u4e2d\u6587 document.pdf";
  name.length = static_cast<UInt16>(s.size());
  std::memcpy(name.unicode, s.data(), s.size() * 2);
  StrFileName out;
  onebyte::fromUnicode(name, 0xBEEF, out);
  std::string got(reinterpret_cast<char *>(out + 1), out[0]);
  EXPECT_EQ(got, " document#BEEF.pdf");
  EXPECT_EQ(onebyte::parseMangledID(out + 1, out[0]), 0xBEEFu);
  const unsigned char plain[] = "no#tag";
  EXPECT_EQ(onebyte::parseMangledID(plain, 6), 0u);
}

} // namespace
