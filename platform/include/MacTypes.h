// The platform's basic types, with the widths its 64-bit ABI gives them.
//
// The classic interfaces say `long` for 32-bit quantities; on this machine
// `long` is 64 bits, so every such value is spelt SInt32/UInt32 here and in
// the code that uses these headers.
#ifndef QUILLMATE_MACTYPES_H
#define QUILLMATE_MACTYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char UInt8;
typedef signed char SInt8;
typedef unsigned short UInt16;
typedef signed short SInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef signed long long SInt64;
typedef unsigned long long UInt64;

typedef float Float32;
typedef double Float64;

typedef unsigned char Boolean;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef SInt16 OSErr;
typedef SInt32 OSStatus;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
typedef FourCharCode ResType;
typedef SInt16 ScriptCode;
typedef SInt16 LangCode;
typedef SInt16 RegionCode;

typedef UInt16 UniChar;
typedef UniChar *UniCharPtr;
typedef const UniChar *ConstUniCharPtr;
typedef unsigned long UniCharCount;
typedef unsigned long ByteCount;
typedef unsigned long ByteOffset;
typedef unsigned long ItemCount;
typedef UInt32 OptionBits;
typedef long Size;

typedef char *Ptr;
typedef Ptr *Handle;
typedef void *LogicalAddress;
typedef const void *ConstLogicalAddress;

typedef unsigned char Str255[256];
typedef unsigned char Str63[64];
typedef unsigned char Str32[33];
typedef unsigned char Str31[32];
typedef unsigned char Str27[28];
typedef unsigned char Str15[16];
typedef unsigned char *StringPtr;
typedef StringPtr *StringHandle;
typedef const unsigned char *ConstStringPtr;
typedef const unsigned char *ConstStr255Param;
typedef const unsigned char *ConstStr63Param;
typedef const unsigned char *ConstStr31Param;
typedef const unsigned char *ConstStr27Param;
typedef const unsigned char *ConstStr15Param;

typedef UInt32 TextEncoding;
typedef UInt32 TextEncodingBase;
typedef UInt32 TextEncodingVariant;
typedef UInt32 TextEncodingFormat;

enum { noErr = 0 };
enum { kNilOptions = 0 };

#ifdef __cplusplus
}
#endif

#endif
