#include "files/UniqueName.h"

namespace quillmate::files {

OSErr GenerateUniqueHFSUniStr(SInt32 *counter, const FSRef *dir1, const FSRef *dir2,
                              HFSUniStr255 *uniqueName) {
  static const char kDigits[] = "0123456789ABCDEF";
  // 1. One lookup block for every try; the reference found is thrown away.
  FSRef scratch;
  FSRefParam pb{};
  pb.nameLength = 8;
  pb.name = uniqueName->unicode;
  pb.textEncodingHint = kTextEncodingUnknown;
  pb.newRef = &scratch;
  for (;;) {
    // 2.1 The counter's digits.  Unsigned, so that advancing past the
    // largest value wraps instead of overflowing.
    const UInt32 value = static_cast<UInt32>(*counter);
    uniqueName->length = 8;
    for (int i = 0; i < 8; ++i)
      uniqueName->unicode[i] = static_cast<UniChar>(kDigits[(value >> (28 - 4 * i)) & 0xF]);
    // 2.2 Absent from the first folder: is it absent from the second?
    pb.ref = dir1;
    OSErr result = PBMakeFSRefUnicodeSync(&pb);
    if (result == fnfErr) {
      pb.ref = dir2;
      result = PBMakeFSRefUnicodeSync(&pb);
    }
    // 2.3 A lookup that could not answer.
    if (result != fnfErr && result != noErr)
      return result;
    // 2.4-2.5 Next value; done when the name is free in both.
    *counter = static_cast<SInt32>(value + 1);
    if (result == fnfErr)
      return noErr;
  }
}

} // namespace quillmate::files
