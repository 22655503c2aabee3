// A short tour of the libraries, for a new user's first run.
#include <CoreServices/CoreServices.h>

#include <cstdio>
#include <cstring>

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
  return 0;
}
