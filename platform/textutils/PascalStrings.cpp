// Conversions between Pascal strings (length byte first) and C strings.
#include <CoreServices/TextUtils.h>

#include <cstring>

extern "C" {

void CopyPascalStringToC(ConstStr255Param src, char *dst) {
  size_t n = src[0];
  std::memmove(dst, src + 1, n);
  dst[n] = '\0';
}

void CopyCStringToPascal(const char *src, Str255 dst) {
  size_t n = strnlen(src, 255);
  std::memmove(dst + 1, src, n);
  dst[0] = static_cast<unsigned char>(n);
}

} // extern "C"
