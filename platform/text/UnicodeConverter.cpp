// The Unicode Converter's calls: argument checks and byte counts around the
// Converter engine.  An info object is a Converter.
#include <CoreServices/UnicodeConverter.h>

#include "platform/text/Converter.h"

using quillmate::text::ConversionResult;
using quillmate::text::Converter;


namespace {

template <typename Info>
OSStatus createInfo(ConstUnicodeMappingPtr mapping, Info *out) {
  if (!mapping || !out)
    return paramErr;
  std::unique_ptr<Converter> converter;
  if (OSStatus status = Converter::create(*mapping, converter))
    return status;
  *out = reinterpret_cast<Info>(converter.release());
  return noErr;
}

template <typename Info>
OSStatus disposeInfo(Info *info) {
  if (!info || !*info)
    return paramErr;
  delete reinterpret_cast<Converter *>(*info);
  *info = nullptr;
  return noErr;
}

} // namespace

extern "C" {

OSStatus CreateUnicodeToTextInfo(ConstUnicodeMappingPtr iUnicodeMapping,
                                 UnicodeToTextInfo *oUnicodeToTextInfo) {
  return createInfo(iUnicodeMapping, oUnicodeToTextInfo);
}

OSStatus CreateTextToUnicodeInfo(ConstUnicodeMappingPtr iUnicodeMapping,
                                 TextToUnicodeInfo *oTextToUnicodeInfo) {
  return createInfo(iUnicodeMapping, oTextToUnicodeInfo);
}

OSStatus DisposeUnicodeToTextInfo(UnicodeToTextInfo *ioUnicodeToTextInfo) {
  return disposeInfo(ioUnicodeToTextInfo);
}

OSStatus DisposeTextToUnicodeInfo(TextToUnicodeInfo *ioTextToUnicodeInfo) {
  return disposeInfo(ioTextToUnicodeInfo);
}

OSStatus ConvertFromUnicodeToText(UnicodeToTextInfo iUnicodeToTextInfo, ByteCount iUnicodeLen,
                                  const UniChar iUnicodeStr[], OptionBits iControlFlags,
                                  ItemCount, const ByteOffset[], ItemCount *oOffsetCount,
                                  ByteOffset[], ByteCount iOutputBufLen, ByteCount *oInputRead,
                                  ByteCount *oOutputLen, LogicalAddress oOutputStr) {
  if (!iUnicodeToTextInfo || !oInputRead || !oOutputLen || (iUnicodeLen && !iUnicodeStr) ||
      (iOutputBufLen && !oOutputStr))
    return paramErr;
  if (oOffsetCount)
    *oOffsetCount = 0;
  *oInputRead = 0;
  *oOutputLen = 0;
  if (iUnicodeLen % 2)
    return kTextMalformedInputErr;
  ConversionResult result = reinterpret_cast<Converter *>(iUnicodeToTextInfo)->fromUnicode(
      iUnicodeStr, iUnicodeLen / 2, iControlFlags, static_cast<unsigned char *>(oOutputStr),
      iOutputBufLen);
  *oInputRead = 2 * result.read;
  *oOutputLen = result.written;
  return result.status;
}

OSStatus ConvertFromTextToUnicode(TextToUnicodeInfo iTextToUnicodeInfo, ByteCount iSourceLen,
                                  ConstLogicalAddress iSourceStr, OptionBits iControlFlags,
                                  ItemCount, const ByteOffset[], ItemCount *oOffsetCount,
                                  ByteOffset[], ByteCount iOutputBufLen, ByteCount *oSourceRead,
                                  ByteCount *oUnicodeLen, UniChar oUnicodeStr[]) {
  if (!iTextToUnicodeInfo || !oSourceRead || !oUnicodeLen || (iSourceLen && !iSourceStr) ||
      (iOutputBufLen >= 2 && !oUnicodeStr))
    return paramErr;
  if (oOffsetCount)
    *oOffsetCount = 0;
  *oSourceRead = 0;
  *oUnicodeLen = 0;
  ConversionResult result = reinterpret_cast<Converter *>(iTextToUnicodeInfo)->toUnicode(
      static_cast<const unsigned char *>(iSourceStr), iSourceLen, iControlFlags, oUnicodeStr,
      iOutputBufLen / 2);
  *oSourceRead = result.read;
  *oUnicodeLen = 2 * result.written;
  return result.status;
}

} // extern "C"
