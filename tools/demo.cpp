// A short tour of the libraries, for a new user's first run.
#include <CoreServices/CoreServices.h>

#include <cstdio>
#include <cstring>

#ifdef QUILLMATE_HAVE_STRINGS
#include "strings/CList.h"
#include "strings/CString256.h"
#endif

int main() {
  Handle h = NewHandle(0);
  const char *words[] = {"Quillmate ", "on ", "Linux"};
  for (const char *w : words)
    PtrAndHand(w, h, static_cast<Size>(std::strlen(w)));
  std::printf("A handle grown in three steps holds %ld bytes: %.*s\n",
              static_cast<long>(GetHandleSize(h)), static_cast<int>(GetHandleSize(h)), *h);
  DisposeHandle(h);

  Str255 p;
  CopyCStringToPascal("a Pascal string", p);
  char c[256];
  CopyPascalStringToC(p, c);
  std::printf("Pascal string of length %d: %s\n", p[0], c);

#ifdef QUILLMATE_HAVE_STRINGS
  CString256 line("report.draft.txt");
  line.change_suffix("pdf");
  line += " is ";
  line += 42;
  line += " KB";
  std::printf("A fixed-capacity string: %s\n", line.text);

  CList<CString256> fields;
  CString256("red, green,,blue").parse_into_list(", ", fields);
  CString256 joined;
  joined.flatten_list('|', fields);
  std::printf("Parsed into %d fields and joined again: %s\n", static_cast<int>(fields.count),
              joined.text);

  float score = 0;
  CString256("hello").match_case_approximate(CString256("yellow"), &score);
  std::printf("Approximate match of 'hello' and 'yellow' scores %.8g\n", score);
#endif
  return 0;
}
