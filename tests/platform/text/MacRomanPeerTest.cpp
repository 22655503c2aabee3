// Mac OS Roman checked against an outside implementation: Python's mac_roman
// codec, with the HFS+ decomposition applied on Python's side.
#include <CoreServices/CoreServices.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// For each byte: "byte unit unit ..." in hex, the HFS+ decomposition of the
// character that mac_roman gives it; then whether Python encodes the full
// canonical decomposition's composition back to that byte.
const char kPythonScript[] = R"PY(
import unicodedata
def hfs(ch):
    o = ord(ch)
    if 0x2000 <= o <= 0x2FFF or 0xF900 <= o <= 0xFAFF or 0x2F800 <= o <= 0x2FAFF:
        return ch
    return unicodedata.normalize('NFD', ch)
for b in range(256):
    ch = bytes([b]).decode('mac_roman')
    back = unicodedata.normalize('NFC', ch).encode('mac_roman')
    assert back == bytes([b])
    print('%02x %s' % (b, ' '.join('%04x' % u for u in
        [int.from_bytes(hfs(ch).encode('utf-16-le')[i:i+2], 'little')
         for i in range(0, len(hfs(ch).encode('utf-16-le')), 2)])))
)PY";

std::map<int, std::u16string> pythonTable() {
  std::string command = "python3 -c \"$(cat <<'EOF'\n" + std::string(kPythonScript) + "\nEOF\n)\"";
  std::map<int, std::u16string> table;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe)
    return table;
  char line[256];
  while (fgets(line, sizeof line, pipe)) {
    std::istringstream in(line);
    int byte;
    in >> std::hex >> byte;
    std::u16string units;
    unsigned unit;
    while (in >> std::hex >> unit)
      units.push_back(static_cast<char16_t>(unit));
    table[byte] = units;
  }
  EXPECT_EQ(pclose(pipe), 0) << "python3 failed";
  return table;
}

UnicodeMapping hfsRoman() {
  return {CreateTextEncoding(kTextEncodingUnicodeV2_0, kUnicodeCanonicalDecompVariant,
                             kUnicode16BitFormat),
          kTextEncodingMacRoman, kUnicodeUseHFSPlusMapping};
}

} // namespace

TEST(MacRomanAgainstPython, EveryByteBothWays) {
  std::map<int, std::u16string> expected = pythonTable();
  ASSERT_EQ(expected.size(), 256u) << "python3 with the mac_roman codec is needed";
  UnicodeMapping mapping = hfsRoman();
  TextToUnicodeInfo toUnicode = nullptr;
  UnicodeToTextInfo toText = nullptr;
  ASSERT_EQ(CreateTextToUnicodeInfo(&mapping, &toUnicode), noErr);
  ASSERT_EQ(CreateUnicodeToTextInfo(&mapping, &toText), noErr);
  for (int b = 0; b < 256; ++b) {
    const unsigned char byte = static_cast<unsigned char>(b);
    UniChar units[8];
    ByteCount read = 0, length = 0;
    ASSERT_EQ(ConvertFromTextToUnicode(toUnicode, 1, &byte, 0, 0, nullptr, nullptr, nullptr,
                                       sizeof units, &read, &length, units),
              noErr)
        << "byte " << b;
    EXPECT_EQ(read, 1u);
    std::u16string got(reinterpret_cast<char16_t *>(units), length / 2);
    EXPECT_EQ(got, expected[b]) << "byte 0x" << std::hex << b;

    unsigned char back[4] = {};
    ByteCount backRead = 0, backLength = 0;
    EXPECT_EQ(ConvertFromUnicodeToText(toText, length, units, 0, 0, nullptr, nullptr, nullptr,
                                       sizeof back, &backRead, &backLength, back),
              noErr)
        << "byte 0x" << std::hex << b;
    EXPECT_EQ(backRead, length);
    ASSERT_EQ(backLength, 1u) << "byte 0x" << std::hex << b;
    EXPECT_EQ(back[0], byte);
  }
  // The one byte where HFS+ and full decomposition differ: 0xAD is U+2260,
  // which full decomposition splits into "=" U+0338; both come back to 0xAD.
  const UniChar split[] = {'=', 0x0338};
  unsigned char back = 0;
  ByteCount read = 0, length = 0;
  EXPECT_EQ(ConvertFromUnicodeToText(toText, sizeof split, split, 0, 0, nullptr, nullptr, nullptr,
                                     1, &read, &length, &back),
            noErr);
  EXPECT_EQ(back, 0xAD);
  DisposeTextToUnicodeInfo(&toUnicode);
  DisposeUnicodeToTextInfo(&toText);
}
