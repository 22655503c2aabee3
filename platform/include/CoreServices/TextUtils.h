// Pascal-string helpers: a length byte n, then n bytes.
#ifndef QUILLMATE_TEXTUTILS_H
#define QUILLMATE_TEXTUTILS_H

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Copies the n bytes after `src`'s length byte to `dst` and terminates them;
/// `dst` needs n + 1 bytes.  `src` and `dst` may be the same buffer.
void CopyPascalStringToC(ConstStr255Param src, char *dst);
/// Copies at most 255 bytes of the C string `src` into the Pascal string
/// `dst`.  `src` and `dst` may be the same buffer.
void CopyCStringToPascal(const char *src, Str255 dst);

#ifdef __cplusplus
}
#endif

#endif
