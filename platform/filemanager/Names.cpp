// API names <-> disk names: the validity rules and the '/' <-> ':' mapping
// of this layer over the text facility's lossless UTF-16 <-> disk-name
// conversion (which keeps bytes that are not UTF-8 as U+DC80-U+DCFF).
#include "platform/filemanager/Names.h"

#include "platform/text/NameConversion.h"

#include <algorithm>

namespace quillmate::fm::names {
namespace {

constexpr size_t kMaxUnits = 255;
constexpr size_t kMaxBytes = 255;

OSErr encode(const UniChar *units, size_t count, text::DiskNameForm form, std::string &out) {
  out.clear();
  if (!units && count)
    return paramErr;
  if (count == 0 || count > kMaxUnits)
    return bdNamErr;
  UniChar mapped[kMaxUnits];
  for (size_t i = 0; i < count; ++i) {
    if (units[i] == 0 || units[i] == ':')
      return bdNamErr;
    mapped[i] = units[i] == '/' ? UniChar(':') : units[i];
  }
  OSStatus status = text::unicodeToDiskName(mapped, count, out, form);
  if (status != noErr) {
    out.clear();
    return status == memFullErr ? OSErr(memFullErr) : OSErr(bdNamErr);
  }
  if (out.size() > kMaxBytes || out == "." || out == "..")
    return bdNamErr;
  return noErr;
}

} // namespace

OSErr toDisk(const UniChar *units, size_t count, std::string &out) {
  return encode(units, count, text::DiskNameForm::AsGiven, out);
}

OSErr toDiskNFC(const UniChar *units, size_t count, std::string &out) {
  return encode(units, count, text::DiskNameForm::Composed, out);
}

void fromDisk(const std::string &disk, HFSUniStr255 &out) {
  const std::u16string units = text::diskNameToUnicode(disk);
  size_t n = std::min(units.size(), kMaxUnits);
  if (n < units.size() && n > 0 && units[n - 1] >= 0xD800 && units[n - 1] <= 0xDBFF)
    --n; // never cut a pair in two
  for (size_t i = 0; i < n; ++i)
    out.unicode[i] = units[i] == ':' ? UniChar('/') : static_cast<UniChar>(units[i]);
  out.length = static_cast<UInt16>(n);
}

} // namespace quillmate::fm::names
