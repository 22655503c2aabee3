// The one-byte name converters of the file utility library on arbitrary
// input.  Input: a byte of choices (bit 0 a volume name, bits 1-4 the
// encoding hint, the raw 32 bits of the next four bytes past the listed
// ones), then the name: as UTF-16 units for UnicodeNameGetHFSName, and its
// first 32 bytes, length byte included, as the Str31 for
// HFSNameGetUnicodeName.
//
// Outputs sit in buffers exactly as large as their types, so AddressSanitizer
// sees any write past them; a failure leaves them empty.  What converts one
// way converts back: a one-byte name made from UTF-16 reads as UTF-16 that
// makes the same bytes again, and one read from bytes makes those bytes
// again.  An ASCII name comes back unchanged.
#include "tests/fuzz/FuzzSupport.h"

#include <FileUtilities.h>

#include <memory>
#include <string>

namespace {

constexpr size_t kMaxFileNameBytes = 31, kMaxVolumeNameBytes = 27;

const TextEncoding kHints[] = {
    kTextEncodingUnknown,       kTextEncodingMacRoman,   kTextEncodingMacGreek,
    kTextEncodingMacCyrillic,   kTextEncodingMacCentralEurRoman,
    kTextEncodingMacTurkish,    kTextEncodingISOLatin1,  kTextEncodingWindowsLatin1,
    kTextEncodingUS_ASCII,      kTextEncodingMacJapanese, kTextEncodingUnicodeDefault,
    kTextEncodingMacIcelandic,
};

bool isAscii(const UniChar *units, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (units[i] >= 0x80)
      return false;
  return true;
}

bool sameName(const HFSUniStr255 &a, const UniChar *units, size_t n) {
  return a.length == n && std::memcmp(a.unicode, units, n * sizeof(UniChar)) == 0;
}

bool sameBytes(const unsigned char *a, const unsigned char *b) {
  return a[0] == b[0] && std::memcmp(a + 1, b + 1, a[0]) == 0;
}

/// Each output in a buffer of its own exact size.
std::unique_ptr<unsigned char[]> newStr31() { return std::make_unique<unsigned char[]>(32); }

/// UTF-16 to one-byte form and back.
void fromUnicode(const std::u16string &name, TextEncoding hint, Boolean volume) {
  const auto *units = reinterpret_cast<const UniChar *>(name.data());
  const size_t limit = volume ? kMaxVolumeNameBytes : kMaxFileNameBytes;
  auto hfs = newStr31();
  hfs[0] = 0xEE;
  const OSErr err = UnicodeNameGetHFSName(name.size(), units, hint, volume, hfs.get());
  fuzz::check(hfs[0] <= limit, "the one-byte name fits");
  if (err != noErr) {
    fuzz::check(hfs[0] == 0, "empty after a failure");
    return;
  }
  if (isAscii(units, name.size())) {
    fuzz::check(hfs[0] == name.size(), "ASCII keeps its length");
    for (size_t i = 0; i < name.size(); ++i)
      fuzz::check(hfs[1 + i] == units[i], "ASCII keeps its bytes");
  }
  auto back = std::make_unique<HFSUniStr255>();
  fuzz::check(HFSNameGetUnicodeName(hfs.get(), hint, back.get()) == noErr,
              "a name made reads back");
  if (isAscii(units, name.size()))
    fuzz::check(sameName(*back, units, name.size()), "ASCII reads back unchanged");
  auto again = newStr31();
  fuzz::check(UnicodeNameGetHFSName(back->length, back->unicode, hint, volume, again.get()) ==
                      noErr &&
                  sameBytes(hfs.get(), again.get()),
              "what was read back makes the same bytes");
}

/// A Str31 with any length byte to UTF-16 and back.
void fromBytes(const unsigned char *str31, TextEncoding hint) {
  auto name = std::make_unique<HFSUniStr255>();
  name->length = 0xEEEE;
  const OSErr err = HFSNameGetUnicodeName(str31, hint, name.get());
  fuzz::check(name->length <= 255, "the UTF-16 name fits");
  if (err != noErr) {
    fuzz::check(name->length == 0, "empty after a failure");
    return;
  }
  fuzz::check(str31[0] <= kMaxFileNameBytes, "only a Str31's length is read");
  auto again = newStr31();
  const OSErr back = UnicodeNameGetHFSName(name->length, name->unicode, hint, false, again.get());
  fuzz::check(back == noErr && sameBytes(str31, again.get()), "the bytes come back");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t choices = in.byte();
  const Boolean volume = choices & 1;
  const size_t pick = (choices >> 1) & 15;
  TextEncoding hint;
  if (pick < std::size(kHints)) {
    hint = kHints[pick];
  } else {
    hint = 0;
    for (int i = 0; i < 4; ++i)
      hint = hint << 8 | in.byte();
  }
  const std::string rest = in.rest();

  std::u16string units(rest.size() / 2, u'\0');
  std::memcpy(units.data(), rest.data(), units.size() * 2);
  fromUnicode(units, hint, volume);

  auto str31 = newStr31();
  std::memcpy(str31.get(), rest.data(), std::min<size_t>(rest.size(), 32));
  fromBytes(str31.get(), hint);
  return 0;
}
