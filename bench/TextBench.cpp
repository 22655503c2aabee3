// The Unicode Converter on name-sized text, beside ICU's converter called
// directly: what the platform's layer (composition before encoding, the
// HFS+ decomposition after decoding, the platform's counts) costs per name.
//
//   bench_textbench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <CoreServices/CoreServices.h>

#include <benchmark/benchmark.h>
#include <unicode/ucnv.h>

#include <cstdlib>
#include <string>

namespace {

// "Résumé — Café Ümlaut.txt": 24 characters, four of them outside ASCII.
const std::u16string kName = u"R\u00e9sum\u00e9 \u2014 Caf\u00e9 \u00dcmlaut.txt";

UnicodeMapping hfsMapping() {
  return {CreateTextEncoding(kTextEncodingUnicodeV2_0, kUnicodeCanonicalDecompVariant,
                             kUnicode16BitFormat),
          kTextEncodingMacRoman, kUnicodeUseHFSPlusMapping};
}

void BM_ConvertFromUnicodeToText(benchmark::State &state) {
  UnicodeMapping mapping = hfsMapping();
  UnicodeToTextInfo info = nullptr;
  if (CreateUnicodeToTextInfo(&mapping, &info) != noErr)
    std::abort();
  char out[64];
  for (auto _ : state) {
    ByteCount read = 0, written = 0;
    OSStatus s = ConvertFromUnicodeToText(info, kName.size() * 2,
                                          reinterpret_cast<const UniChar *>(kName.data()), 0, 0,
                                          nullptr, nullptr, nullptr, sizeof out, &read, &written,
                                          out);
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(out);
  }
  DisposeUnicodeToTextInfo(&info);
}

void BM_ConvertFromTextToUnicode(benchmark::State &state) {
  UnicodeMapping mapping = hfsMapping();
  TextToUnicodeInfo toUnicode = nullptr;
  UnicodeToTextInfo toText = nullptr;
  if (CreateTextToUnicodeInfo(&mapping, &toUnicode) != noErr ||
      CreateUnicodeToTextInfo(&mapping, &toText) != noErr)
    std::abort();
  char bytes[64];
  ByteCount read = 0, length = 0;
  ConvertFromUnicodeToText(toText, kName.size() * 2, reinterpret_cast<const UniChar *>(kName.data()),
                           0, 0, nullptr, nullptr, nullptr, sizeof bytes, &read, &length, bytes);
  UniChar out[128];
  for (auto _ : state) {
    ByteCount used = 0, produced = 0;
    OSStatus s = ConvertFromTextToUnicode(toUnicode, length, bytes, 0, 0, nullptr, nullptr,
                                          nullptr, sizeof out, &used, &produced, out);
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(out);
  }
  DisposeTextToUnicodeInfo(&toUnicode);
  DisposeUnicodeToTextInfo(&toText);
}

void BM_icu_fromUChars(benchmark::State &state) {
  UErrorCode status = U_ZERO_ERROR;
  UConverter *c = ucnv_open("macintosh", &status);
  char out[64];
  for (auto _ : state) {
    status = U_ZERO_ERROR;
    int32_t n = ucnv_fromUChars(c, out, sizeof out, reinterpret_cast<const UChar *>(kName.data()),
                                static_cast<int32_t>(kName.size()), &status);
    benchmark::DoNotOptimize(n);
  }
  ucnv_close(c);
}

void BM_icu_toUChars(benchmark::State &state) {
  UErrorCode status = U_ZERO_ERROR;
  UConverter *c = ucnv_open("macintosh", &status);
  char bytes[64];
  int32_t length = ucnv_fromUChars(c, bytes, sizeof bytes,
                                   reinterpret_cast<const UChar *>(kName.data()),
                                   static_cast<int32_t>(kName.size()), &status);
  UChar out[128];
  for (auto _ : state) {
    status = U_ZERO_ERROR;
    int32_t n = ucnv_toUChars(c, out, 128, bytes, length, &status);
    benchmark::DoNotOptimize(n);
  }
  ucnv_close(c);
}

BENCHMARK(BM_ConvertFromUnicodeToText);
BENCHMARK(BM_icu_fromUChars);
BENCHMARK(BM_ConvertFromTextToUnicode);
BENCHMARK(BM_icu_toUChars);

} // namespace

BENCHMARK_MAIN();
