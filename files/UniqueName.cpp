#include "files/UniqueName.h"

namespace quillmate::files {

OSErr GenerateUniqueHFSUniStr(SInt32 *counter, const FSRef *dir1, const FSRef *dir2,
                              HFSUniStr255 *uniqueName) {
  static const char kDigits[] = "0123456789ABCDEF";
  // One lookup block serves every try: only its status matters, the
  // reference it finds is thrown away.
  FSRef scratch;
  FSRefParam pb{};
  pb.nameLength = 8;
  pb.name = uniqueName->unicode;
  pb.textEncodingHint = kTextEncodingUnknown;
  pb.newRef = &scratch;
  for (;;) {
    // The name is the counter's eight hex digits.  Unsigned, so that
    // advancing past the largest value wraps instead of overflowing.
    const UInt32 value = static_cast<UInt32>(*counter);
    uniqueName->length = 8;
    for (int i = 0; i < 8; ++i)
      uniqueName->unicode[i] = static_cast<UniChar>(kDigits[(value >> (28 - 4 * i)) & 0xF]);
    // A name is free only when neither folder has it; the second is asked
    // only when the first lacks it.
    pb.ref = dir1;
    OSErr result = PBMakeFSRefUnicodeSync(&pb);
    if (result == fnfErr) {
      pb.ref = dir2;
      result = PBMakeFSRefUnicodeSync(&pb);
    }
    // A lookup that could neither find the name nor miss it cannot tell
    // whether the name is free: the search ends with its status.
    if (result != fnfErr && result != noErr)
      return result;
    // The counter moves past the value tried, taken or free, so a caller
    // that asks again for a second name starts at a fresh one.
    *counter = static_cast<SInt32>(value + 1);
    if (result == fnfErr)
      return noErr;
  }
}

} // namespace quillmate::files
