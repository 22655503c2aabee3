// The double-format header: byte for byte what the file server writes, and
// damaged headers refused before an entry is read.
#include "platform/filemanager/DoubleHeader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace dbl = quillmate::fm::dbl;

namespace {

std::vector<UInt8> fromHex(const std::string &hex) {
  std::vector<UInt8> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(UInt8(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// The first 0x52 bytes of the `._` file the file server wrote for a
// 10,240-byte resource fork put through its AFP_Resource stream.
const char kServerSidecar[] = "0005160700020000"
                              "4e65746174616c6b2020202020202020"
                              "0002"
                              "000000020000005200002800"
                              "000000090000003200000020";

// The attribute the file server wrote for Finder information TEXT/ttxt with
// flags 0x0100 put through its AFP_AfpInfo stream: the header (0x7a bytes),
// then the Finder information, the comment's room, the dates and the AFP
// file information.
const char kServerAttributeHeader[] =
    "000516070002000000000000000000000000000000000000"
    "0008"
    "000000040000009a00000000"
    "000000080000016200000010"
    "000000090000007a00000020"
    "0000000e0000017200000004"
    "8044455600000176" "00000000"
    "80494e4f0000017e" "00000000"
    "8053594e00000186" "00000000"
    "8053567e0000018e" "00000000";

std::vector<UInt8> finderInfo() {
  std::vector<UInt8> fi(dbl::kFinderInfoSize, 0);
  std::memcpy(fi.data(), "TEXTttxt\x01\x00", 10);
  return fi;
}

} // namespace

TEST(DoubleHeader, NewSidecarIsLaidOutAsTheFileServerWritesIt) {
  dbl::Header h = dbl::sidecarHeader(10240);
  std::vector<UInt8> out(h.encodedSize());
  h.encode(out.data());
  EXPECT_EQ(out, fromHex(kServerSidecar));
  EXPECT_TRUE(h.isLast(h.indexOf(*h.find(dbl::kResourceFork))));
  EXPECT_FALSE(h.isLast(h.indexOf(*h.find(dbl::kFinderInfo))));
}

TEST(DoubleHeader, NetatalkAttributeMatchesTheFileServersByteForByte) {
  dbl::FileDates dates;
  dates.create = dates.modify = dates.access = 0x32ab7a6a;
  std::vector<UInt8> fi = finderInfo();
  std::vector<UInt8> value = dbl::netatalkWithFinderInfo(nullptr, 0, fi.data(), dates);
  ASSERT_EQ(value.size(), dbl::kNetatalkSize);

  std::vector<UInt8> expected = fromHex(kServerAttributeHeader);
  expected.insert(expected.end(), fi.begin(), fi.end());
  expected.resize(0x162, 0);
  for (UInt8 b : fromHex("32ab7a6a32ab7a6a8000000032ab7a6a"))
    expected.push_back(b);
  expected.resize(dbl::kNetatalkSize, 0);
  EXPECT_EQ(value, expected);

  UInt8 back[dbl::kFinderInfoSize];
  ASSERT_TRUE(dbl::netatalkFinderInfo(value.data(), value.size(), back));
  EXPECT_EQ(std::vector<UInt8>(back, back + sizeof back), fi);
}

TEST(DoubleHeader, ReplacingFinderInfoKeepsEveryOtherEntry) {
  std::vector<UInt8> value =
      dbl::netatalkWithFinderInfo(nullptr, 0, finderInfo().data(), dbl::FileDates{});
  value[0x9a] = 'c'; // a comment's byte, which the file server may keep there
  value[0x172] = 0x7f;
  std::vector<UInt8> other(dbl::kFinderInfoSize, 0xAB);
  std::vector<UInt8> changed =
      dbl::netatalkWithFinderInfo(value.data(), value.size(), other.data(), dbl::FileDates{});
  ASSERT_EQ(changed.size(), value.size());
  EXPECT_EQ(changed[0x9a], 'c');
  EXPECT_EQ(changed[0x172], 0x7f);
  EXPECT_TRUE(std::equal(other.begin(), other.end(), changed.begin() + 0x7a));

  // A value it cannot read is replaced by a sound one, not patched blindly.
  std::vector<UInt8> junk(40, 0xFF);
  std::vector<UInt8> fresh =
      dbl::netatalkWithFinderInfo(junk.data(), junk.size(), other.data(), dbl::FileDates{});
  EXPECT_EQ(fresh.size(), dbl::kNetatalkSize);
}

struct Damaged {
  const char *what;
  std::vector<UInt8> bytes;
  uint64_t fileSize; // 0: the bytes' own length
  dbl::Damage damage;
};

class DoubleHeaderDamage : public ::testing::TestWithParam<Damaged> {};

TEST_P(DoubleHeaderDamage, IsRefusedWithItsReason) {
  const Damaged &d = GetParam();
  dbl::Header h;
  const uint64_t size = d.fileSize ? d.fileSize : d.bytes.size();
  EXPECT_EQ(dbl::Header::parse(d.bytes.data(), d.bytes.size(), size, h), d.damage) << d.what;
  UInt8 fi[dbl::kFinderInfoSize];
  EXPECT_FALSE(dbl::netatalkFinderInfo(d.bytes.data(), d.bytes.size(), fi)) << d.what;
}

namespace {
// A header of `entries` (id, offset, length) triples, padded to `size`.
std::vector<UInt8> header(std::vector<dbl::Entry> entries, size_t size, UInt32 magic = dbl::kMagic,
                          UInt32 version = dbl::kVersion, UInt16 declared = 0xFFFF) {
  dbl::Header h;
  h.count = entries.size();
  std::copy(entries.begin(), entries.end(), h.entries.begin());
  std::vector<UInt8> out(std::max(size, h.encodedSize()), 0);
  h.encode(out.data());
  dbl::put32(out.data(), magic);
  dbl::put32(out.data() + 4, version);
  if (declared != 0xFFFF) {
    out[24] = UInt8(declared >> 8);
    out[25] = UInt8(declared);
  }
  return out;
}
} // namespace

INSTANTIATE_TEST_SUITE_P(
    Cases, DoubleHeaderDamage,
    ::testing::Values(
        Damaged{"empty", {}, 0, dbl::Damage::TooShort},
        Damaged{"fixed part cut", std::vector<UInt8>(20, 0), 0, dbl::Damage::TooShort},
        Damaged{"magic", header({{9, 50, 32}}, 82, 0x00051600), 0, dbl::Damage::BadMagic},
        Damaged{"version 1", header({{9, 50, 32}}, 82, dbl::kMagic, 0x00010000), 0,
                dbl::Damage::BadVersion},
        Damaged{"65535 entries", header({}, 26, dbl::kMagic, dbl::kVersion, 0xFFFE), 0,
                dbl::Damage::TooManyEntries},
        Damaged{"descriptors cut", header({}, 26, dbl::kMagic, dbl::kVersion, 3), 0,
                dbl::Damage::TooShort},
        Damaged{"past the end", header({{9, 38, 32}, {2, 70, 100}}, 80), 0,
                dbl::Damage::EntryPastEnd},
        Damaged{"offset wraps", header({{2, 0xFFFFFFF0u, 0x20}}, 80), 0,
                dbl::Damage::EntryPastEnd},
        Damaged{"overlapping", header({{9, 50, 32}, {2, 60, 10}}, 100), 0,
                dbl::Damage::EntriesOverlap},
        Damaged{"over the header", header({{9, 10, 32}, {2, 50, 10}}, 100), 0,
                dbl::Damage::EntriesOverlap},
        Damaged{"descriptors not at hand", header({}, 40, dbl::kMagic, dbl::kVersion, 3), 200,
                dbl::Damage::TooShort}));

TEST(DoubleHeader, EmptyEntriesMayShareAnOffsetAndTheLastEntryIsKnown) {
  std::vector<UInt8> bytes = header({{4, 74, 0}, {9, 74, 32}, {0x80444556, 106, 0}, {2, 106, 6}}, 112);
  dbl::Header h;
  ASSERT_EQ(dbl::Header::parse(bytes.data(), bytes.size(), bytes.size(), h), dbl::Damage::None);
  EXPECT_EQ(h.count, 4u);
  EXPECT_TRUE(h.isLast(3));
  EXPECT_FALSE(h.isLast(1));
  EXPECT_EQ(h.end(), 112u);
  // An empty entry that starts inside another one is not last: growing it
  // would run over the other's bytes.
  std::vector<UInt8> inside = header({{2, 51, 0}, {14, 50, 2}}, 60);
  ASSERT_EQ(dbl::Header::parse(inside.data(), inside.size(), inside.size(), h), dbl::Damage::None);
  EXPECT_FALSE(h.isLast(0));
  // Nor one before an empty entry: cutting the file would leave that
  // entry's place past the end.
  std::vector<UInt8> before = header({{2, 50, 0}, {4, 56, 0}}, 60);
  ASSERT_EQ(dbl::Header::parse(before.data(), before.size(), before.size(), h), dbl::Damage::None);
  EXPECT_FALSE(h.isLast(0));
  EXPECT_TRUE(h.isLast(1));
  EXPECT_EQ(dbl::Header::sizeNeeded(bytes.data(), 10), dbl::kFixedSize);
  EXPECT_EQ(dbl::Header::sizeNeeded(bytes.data(), bytes.size()), 26u + 4 * 12);
}
