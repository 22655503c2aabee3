// The mount record PBVolumeMount takes, as arbitrary bytes, through its
// decoder only: this target holds no call that mounts.  The record sits in a
// buffer exactly as long as its length field says (two bytes when that is
// less), so AddressSanitizer sees any read past it.  A record either is
// refused with paramErr or decodes to fields that obey the layout's rules,
// encode again and decode back the same, and give mount(2) only flags the
// option table knows.
#include "platform/filemanager/MountRecord.h"

#include "tests/fuzz/FuzzSupport.h"

#include <vector>

namespace rec = quillmate::fm::mountrecord;

namespace {

constexpr unsigned long kKnownFlags = MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC |
                                      MS_SYNCHRONOUS | MS_DIRSYNC | MS_MANDLOCK | MS_NOATIME |
                                      MS_NODIRATIME | MS_RELATIME | MS_STRICTATIME |
                                      MS_LAZYTIME | MS_SILENT;

void checkFields(const rec::Record &r) {
  for (const std::string &f : r.field)
    fuzz::check(f.find('\0') == std::string::npos, "no NUL inside a field");
  fuzz::check(!r.field[rec::kType].empty(), "a type");
  fuzz::check(!r.field[rec::kPoint].empty() && r.field[rec::kPoint][0] == '/',
              "an absolute mount point");
}

void checkArguments(const std::string &options) {
  unsigned long flags = 1234;
  std::string data = "stale";
  rec::mountArguments(options, flags, data);
  fuzz::check((flags & ~kKnownFlags) == 0, "only flags of the table");
  fuzz::check(data.empty() || (data.front() != ',' && data.back() != ','),
              "no empty word at the ends of the data");
  fuzz::check(data.find(",,") == std::string::npos, "no empty word inside the data");
  // Every word of the data is one of the options that is no flag.
  std::string rest;
  rec::eachWord(options, [&](std::string_view word) {
    if (!rec::flagWord(word)) {
      if (!rest.empty())
        rest += ',';
      rest += word;
    }
  });
  fuzz::check(rest == data, "the data is the words that are not flags");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2)
    return 0;
  SInt16 length;
  std::memcpy(&length, data, sizeof length);
  std::vector<unsigned char> buffer(length > 2 ? size_t(length) : 2, 0);
  std::memcpy(buffer.data(), data, std::min(buffer.size(), size));

  rec::Record r;
  const OSErr err = rec::parse(buffer.data(), r);
  fuzz::check(err == noErr || err == paramErr, "paramErr or a record");
  if (err != noErr)
    return 0;
  checkFields(r);
  checkArguments(r.field[rec::kOptions]);

  // Laid out anew (the fields one after the other), it decodes to the same
  // fields, and its own layout again to the same bytes.
  std::string again;
  size_t needed = rec::kFixedSize;
  for (const std::string &f : r.field)
    needed += f.size() + 1;
  if (rec::write(r, again) != noErr) {
    fuzz::check(needed > rec::kMaxRecord, "only a record too long for its length is refused");
    return 0;
  }
  fuzz::check(again.size() == needed, "the new layout's size");
  std::vector<unsigned char> copy(again.begin(), again.end());
  rec::Record back;
  fuzz::check(rec::parse(copy.data(), back) == noErr && back.field == r.field,
              "the new layout decodes to the same fields");
  std::string third;
  fuzz::check(rec::write(back, third) == noErr && third == again, "the layout is stable");
  return 0;
}
