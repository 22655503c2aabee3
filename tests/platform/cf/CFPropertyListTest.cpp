// XML property lists: every type both ways, far dates, and refusal of input
// that is malformed or unsafe and of values that would not read back.
#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>
#include <libxml/globals.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <unistd.h>

namespace {

CFPropertyListRef parse(const std::string &xml, std::string *error = nullptr,
                        CFOptionFlags options = kCFPropertyListImmutable) {
  CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(xml.data()),
                                static_cast<CFIndex>(xml.size()));
  CFErrorRef err = nullptr;
  CFPropertyListFormat format = 0;
  CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, data, options, &format, &err);
  CFRelease(data);
  if (plist) {
    EXPECT_EQ(format, kCFPropertyListXMLFormat_v1_0);
  }
  if (err) {
    EXPECT_EQ(plist, nullptr);
    EXPECT_EQ(CFErrorGetCode(err), kCFPropertyListReadCorruptError);
    CFStringRef d = CFErrorCopyDescription(err);
    char buffer[512];
    CFStringGetCString(d, buffer, sizeof buffer, kCFStringEncodingUTF8);
    if (error) *error = buffer;
    CFRelease(d);
    CFRelease(err);
  } else {
    EXPECT_NE(plist, nullptr) << "a failure without an error";
  }
  return plist;
}

std::string write(CFPropertyListRef plist, bool *ok = nullptr) {
  CFErrorRef err = nullptr;
  CFDataRef data = CFPropertyListCreateData(nullptr, plist, kCFPropertyListXMLFormat_v1_0, 0, &err);
  if (ok) *ok = data != nullptr;
  EXPECT_EQ(data == nullptr, err != nullptr);
  if (err) CFRelease(err);
  if (!data) return {};
  std::string xml(reinterpret_cast<const char *>(CFDataGetBytePtr(data)),
                  static_cast<size_t>(CFDataGetLength(data)));
  CFRelease(data);
  return xml;
}

std::string wrap(const std::string &body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body +
         "</plist>\n";
}

// Writes value inside a dictionary, reads it back and compares.
void expectRoundTrip(CFTypeRef value) {
  const void *keys[] = {CFSTR("k")};
  const void *values[] = {value};
  CFDictionaryRef dict = CFDictionaryCreate(nullptr, keys, values, 1,
                                            &kCFTypeDictionaryKeyCallBacks,
                                            &kCFTypeDictionaryValueCallBacks);
  bool ok = false;
  std::string xml = write(dict, &ok);
  ASSERT_TRUE(ok);
  CFPropertyListRef back = parse(xml);
  ASSERT_NE(back, nullptr) << xml;
  EXPECT_TRUE(CFEqual(back, dict)) << xml;
  CFRelease(back);
  CFRelease(dict);
}

TEST(PropertyListRoundTrip, EveryTypeComesBackEqual) {
  SInt64 ints[] = {0, -1, std::numeric_limits<SInt64>::min(), std::numeric_limits<SInt64>::max()};
  for (SInt64 i : ints) {
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt64Type, &i);
    expectRoundTrip(n);
    CFRelease(n);
  }
  double reals[] = {0.1, -2.5e-300, 1e300, 3.0, std::numeric_limits<double>::infinity(),
                    -std::numeric_limits<double>::infinity(), std::nan("")};
  for (double d : reals) {
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberDoubleType, &d);
    expectRoundTrip(n);
    CFRelease(n);
  }
  expectRoundTrip(kCFBooleanTrue);
  expectRoundTrip(kCFBooleanFalse);
  expectRoundTrip(CFSTR(""));
  expectRoundTrip(CFSTR("a < b & c > d ]]> \"q\" 'a' \t\n\xc3\xa9 \xf0\x9f\x98\x80"));
  const UInt8 bytes[] = {0, 1, 2, 0xfb, 0xff};
  for (CFIndex n = 0; n <= 5; ++n) {
    CFDataRef data = CFDataCreate(nullptr, bytes, n);
    expectRoundTrip(data);
    CFRelease(data);
  }
  const void *items[] = {CFSTR("x"), kCFBooleanTrue};
  CFArrayRef array = CFArrayCreate(nullptr, items, 2, &kCFTypeArrayCallBacks);
  CFArrayRef empty = CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks);
  expectRoundTrip(array);
  expectRoundTrip(empty);
  CFRelease(array);
  CFRelease(empty);
}

TEST(PropertyListRoundTrip, CarriageReturnsSurvive) {
  // XML turns a raw CR into LF when reading; the writer must escape it.
  const UniChar units[] = {'a', '\r', '\n', 'b', '\r'};
  CFStringRef s = CFStringCreateWithCharacters(nullptr, units, 5);
  expectRoundTrip(s);
  CFRelease(s);
}

TEST(PropertyListDates, KeepFarDatesToTheSecond) {
  // Seconds from 2001 as Python's datetime computes them.
  struct Case {
    const char *text;
    double at;
  } cases[] = {
      {"2001-01-01T00:00:00Z", 0},
      {"1850-06-15T12:30:45Z", -4750831755.0},
      {"2200-01-01T00:00:00Z", 6279811200.0},
      {"1969-12-31T23:59:59Z", -978307201.0},
      {"0001-01-01T00:00:00Z", -63113904000.0},
      {"9999-12-31T23:59:59Z", 252423993599.0},
      {"2000-02-29T00:00:00Z", -26524800.0},
  };
  for (const Case &c : cases) {
    CFPropertyListRef date = parse(wrap(std::string("<date>") + c.text + "</date>"));
    ASSERT_NE(date, nullptr) << c.text;
    ASSERT_EQ(CFGetTypeID(date), CFDateGetTypeID());
    EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(date)), c.at) << c.text;
    std::string xml = write(date);
    EXPECT_NE(xml.find(c.text), std::string::npos) << xml;
    CFRelease(date);
  }
  // A fraction of a second is dropped toward the past, also before 1970.
  CFDateRef early = CFDateCreate(nullptr, -978307200.5);
  EXPECT_NE(write(early).find("1969-12-31T23:59:59Z"), std::string::npos);
  CFRelease(early);
  // Shortened forms, as other writers produce them.
  CFPropertyListRef shortDate = parse(wrap("<date>2001-01-02Z</date>"));
  ASSERT_NE(shortDate, nullptr);
  EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(shortDate)), 86400.0);
  CFRelease(shortDate);
}

TEST(PropertyListDates, RejectsImpossibleDatesAndUnwritableYears) {
  for (const char *bad : {"2001-02-29T00:00:00Z", "2001-13-01T00:00:00Z", "2001-01-01T24:00:00Z",
                          "2001-01-01T00:00:00", "0000-01-01T00:00:00Z", "yesterday"}) {
    EXPECT_EQ(parse(wrap(std::string("<date>") + bad + "</date>")), nullptr) << bad;
  }
  bool ok = true;
  CFDateRef far = CFDateCreate(nullptr, 1e12);
  write(far, &ok);
  EXPECT_FALSE(ok) << "a year past 9999 cannot be written in the format";
  CFRelease(far);
}

TEST(PropertyListRead, ReadsWhatOtherWritersProduce) {
  // Layout as other writers make it: DOCTYPE, indentation, data over lines,
  // integers up to 2^64 - 1, a repeated key (last wins), comments.
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//X//DTD PLIST 1.0//EN\" \"http://example.invalid/x.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n"
      "\t<key>big</key>\n\t<integer>18446744073709551615</integer>\n"
      "\t<key>hex</key>\n\t<integer>0x10</integer>\n"
      "\t<key>blob</key>\n\t<data>\n\tAAEC\n\tAw==\n\t</data>\n"
      "\t<!-- a comment -->\n"
      "\t<key>dup</key>\n\t<string>first</string>\n"
      "\t<key>dup</key>\n\t<string>last</string>\n"
      "\t<key>cdata</key>\n\t<string><![CDATA[<raw>]]></string>\n"
      "\t<key>inf</key>\n\t<real>inf</real>\n"
      "\t<key>empty</key>\n\t<string/>\n"
      "</dict>\n</plist>\n";
  std::string error;
  CFPropertyListRef plist = parse(xml, &error);
  ASSERT_NE(plist, nullptr) << error;
  CFDictionaryRef dict = static_cast<CFDictionaryRef>(plist);
  EXPECT_EQ(CFDictionaryGetCount(dict), 7);
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(dict, CFSTR("dup")), CFSTR("last")));
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(dict, CFSTR("cdata")), CFSTR("<raw>")));
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(dict, CFSTR("empty")), CFSTR("")));
  CFDataRef blob = static_cast<CFDataRef>(CFDictionaryGetValue(dict, CFSTR("blob")));
  ASSERT_EQ(CFDataGetLength(blob), 4);
  EXPECT_EQ(CFDataGetBytePtr(blob)[3], 3);
  SInt32 hex = 0;
  CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(dict, CFSTR("hex"))),
                   kCFNumberSInt32Type, &hex);
  EXPECT_EQ(hex, 16);
  // The largest unsigned integer is written back as it was read.
  EXPECT_NE(write(plist).find("<integer>18446744073709551615</integer>"), std::string::npos);
  CFRelease(plist);
}

TEST(PropertyListRead, RejectsMalformedDocuments) {
  const char *bad[] = {
      "",
      "not xml",
      "<plist version=\"1.0\"><dict><key>a</key></dict></plist>",
      "<plist version=\"1.0\"><dict><string>a</string><true/></dict></plist>",
      "<plist version=\"1.0\"><integer>18446744073709551616</integer></plist>",
      "<plist version=\"1.0\"><integer>-9223372036854775809</integer></plist>",
      "<plist version=\"1.0\"><integer>12abc</integer></plist>",
      "<plist version=\"1.0\"><integer></integer></plist>",
      "<plist version=\"1.0\"><real>1.5x</real></plist>",
      "<plist version=\"1.0\"><data>AA$A</data></plist>",
      "<plist version=\"1.0\"><unknown/></plist>",
      "<plist version=\"1.0\"><array>text<true/></array></plist>",
      "<plist version=\"1.0\"><string>a<b/></string></plist>",
      "<plist version=\"1.0\"><true/><false/></plist>",
      "<plist version=\"2.0\"><true/></plist>",
      "<plist version=\"1.0\"><dict><key>a</key><true/></plist>",
      "bplist00\x01\x02",
  };
  for (const char *xml : bad) {
    std::string error;
    EXPECT_EQ(parse(xml, &error), nullptr) << xml;
    EXPECT_FALSE(error.empty()) << xml;
  }
}

TEST(PropertyListRead, InputThatDoesNotDecodeIsToldInTheErrorAlone) {
  // Each fails in the XML library's decoder: UTF-16 with a lone surrogate,
  // and bytes ISO-2022-JP lacks.  Nothing reaches standard error, and the
  // thread's own handler of the library's messages is given back.
  const std::string bad[] = {
      std::string("\xff\xfe<\0p\0\x00\xd8\x00\x00", 10),
      "<?xml version=\"1.0\" encoding=\"ISO-2022-JP\"?><a>\x1b$B\x80\x80</a>",
  };
  const xmlGenericErrorFunc handler = xmlGenericError;
  for (const std::string &xml : bad) {
    std::fflush(stderr);
    FILE *captured = std::tmpfile();
    ASSERT_NE(captured, nullptr);
    const int saved = ::dup(2);
    ::dup2(::fileno(captured), 2);
    std::string error;
    CFPropertyListRef plist = parse(xml, &error);
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    EXPECT_EQ(plist, nullptr);
    EXPECT_NE(error.find("not well-formed XML"), std::string::npos) << error;
    EXPECT_EQ(::lseek(::fileno(captured), 0, SEEK_END), 0)
        << "the library printed on standard error";
    std::fclose(captured);
  }
  EXPECT_EQ(xmlGenericError, handler);
}

TEST(PropertyListRead, NeverLoadsExternalEntities) {
  const std::string xml =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY secret SYSTEM \"/etc/hostname\">]>\n"
      "<plist version=\"1.0\"><string>&secret;</string></plist>";
  CFPropertyListRef plist = parse(xml);
  if (plist) {
    EXPECT_EQ(CFStringGetLength(static_cast<CFStringRef>(plist)), 0);
    CFRelease(plist);
  }
}

TEST(PropertyListRead, MutableContainersOnRequest) {
  CFPropertyListRef plist = parse(wrap("<dict><key>a</key><array/></dict>"), nullptr,
                                  kCFPropertyListMutableContainers);
  ASSERT_NE(plist, nullptr);
  auto dict = const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(plist));
  CFDictionarySetValue(dict, CFSTR("b"), kCFBooleanTrue);
  EXPECT_EQ(CFDictionaryGetCount(dict), 2);
  CFRelease(plist);
}

TEST(PropertyListWrite, RefusesWhatWouldNotReadBack) {
  bool ok = true;
  const UniChar control[] = {'a', 0x01};
  CFStringRef s = CFStringCreateWithCharacters(nullptr, control, 2);
  write(s, &ok);
  EXPECT_FALSE(ok) << "U+0001 cannot appear in XML 1.0";
  CFRelease(s);
  const UniChar lone[] = {0xdc00};
  s = CFStringCreateWithCharacters(nullptr, lone, 1);
  write(s, &ok);
  EXPECT_FALSE(ok);
  CFRelease(s);

  int one = 1;
  CFNumberRef n = CFNumberCreate(nullptr, kCFNumberIntType, &one);
  const void *keys[] = {n};
  const void *values[] = {n};
  CFDictionaryRef dict = CFDictionaryCreate(nullptr, keys, values, 1,
                                            &kCFTypeDictionaryKeyCallBacks,
                                            &kCFTypeDictionaryValueCallBacks);
  write(dict, &ok);
  EXPECT_FALSE(ok) << "keys must be strings";
  EXPECT_FALSE(CFPropertyListIsValid(dict, kCFPropertyListXMLFormat_v1_0));
  EXPECT_TRUE(CFPropertyListIsValid(n, kCFPropertyListXMLFormat_v1_0));
  EXPECT_FALSE(CFPropertyListIsValid(n, kCFPropertyListBinaryFormat_v1_0));
  CFRelease(dict);
  CFRelease(n);

  // An array that holds itself would recurse without end.
  CFMutableArrayRef loop = CFArrayCreateMutable(nullptr, 0, nullptr);
  CFArrayAppendValue(loop, loop);
  write(loop, &ok);
  EXPECT_FALSE(ok);
  CFRelease(loop);
}

TEST(PropertyListWrite, SortsKeysAndIndentsWithTabs) {
  const void *keys[] = {CFSTR("b"), CFSTR("a")};
  const void *values[] = {kCFBooleanTrue, kCFBooleanFalse};
  CFDictionaryRef dict = CFDictionaryCreate(nullptr, keys, values, 2,
                                            &kCFTypeDictionaryKeyCallBacks,
                                            &kCFTypeDictionaryValueCallBacks);
  EXPECT_EQ(write(dict), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                         "<dict>\n\t<key>a</key>\n\t<false/>\n\t<key>b</key>\n\t<true/>\n"
                         "</dict>\n</plist>\n");
  CFRelease(dict);
}

} // namespace
