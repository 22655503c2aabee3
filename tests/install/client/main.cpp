// An outside program using the installed headers and libraries.
#include <CoreServices/CoreServices.h>
#include <strings/CString256.h>
#include <FileUtilities.h>

#include <cstdio>

int main() {
  Handle h = NewHandle(0);
  if (!h || PtrAndHand("ok", h, 2) != noErr || GetHandleSize(h) != 2)
    return 1;
  DisposeHandle(h);
  CString256 text("client");
  text += ": ok";
  if (!text.endsWith_nocase("OK"))
    return 1;
  // The file utility library: a name to one-byte form and back.
  const UniChar name[] = {'n', 'o', 't', 'e', 's'};
  Str31 hfs;
  HFSUniStr255 back;
  if (UnicodeNameGetHFSName(5, name, kTextEncodingMacRoman, false, hfs) != noErr || hfs[0] != 5 ||
      HFSNameGetUnicodeName(hfs, kTextEncodingMacRoman, &back) != noErr || back.length != 5)
    return 1;
  std::puts(text.text);
  return 0;
}
