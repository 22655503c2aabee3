// An outside program using the installed headers and libraries.
#include <CoreServices/CoreServices.h>

#include <cstdio>

int main() {
  Handle h = NewHandle(0);
  if (!h || PtrAndHand("ok", h, 2) != noErr || GetHandleSize(h) != 2)
    return 1;
  DisposeHandle(h);
  std::puts("client: ok");
  return 0;
}
