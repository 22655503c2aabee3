// A run of assignments, appends and edits on one CString256, checked step by
// step against a std::string model of the same rules (cut at 255, the
// single-character append stops at 254).  Each step: an operation byte, then
// its operands.
#include "tests/fuzz/FuzzSupport.h"

#include "strings/StringHelpers.h"

#include <cctype>
#include <string>

namespace {

std::string appended(const std::string &model, const std::string &source) {
  std::string tail = fuzz::cut255(source);
  return model + tail.substr(0, 255 - model.size());
}

SInt32 int32From(fuzz::Reader &in) {
  UInt32 v = 0;
  for (int i = 0; i < 4; ++i)
    v = (v << 8) | in.byte();
  return static_cast<SInt32>(v);
}

std::string decimal(SInt32 v) { return std::to_string(static_cast<long long>(v)); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in(data, size);
  CString256 s;
  std::string model;
  while (!in.empty()) {
    uint8_t op = in.byte();
    switch (op % 14) {
    case 0: {
      std::string source = in.bytes(in.byte() + in.byte());
      s = source.c_str();
      model = fuzz::cut255(source);
      break;
    }
    case 1: {
      std::string source = in.bytes(in.byte() + in.byte());
      s += source.c_str();
      model = appended(model, source);
      break;
    }
    case 2: {
      char c = static_cast<char>(in.byte());
      s += c;
      if (model.size() < 254 && c != '\0')
        model += c;
      break;
    }
    case 3: {
      unsigned char pascal[256];
      pascal[0] = in.byte();
      std::string body = in.bytes(pascal[0]);
      body.resize(pascal[0], 'p');
      std::memcpy(pascal + 1, body.data(), body.size());
      if (op & 0x80) {
        s = pascal;
        model = fuzz::cut255(body);
      } else {
        s += pascal;
        model = appended(model, body);
      }
      break;
    }
    case 4: {
      CString256 other(in.bytes(in.byte()).c_str());
      s += other;
      model = appended(model, other.text);
      break;
    }
    case 5: {
      std::string block = in.bytes(in.byte() + in.byte());
      Handle h = NewHandle(static_cast<Size>(block.size()));
      if (!h)
        break;
      std::memcpy(*h, block.data(), block.size());
      s = h;
      model = fuzz::cut255(block);
      DisposeHandle(h);
      break;
    }
    case 6: {
      SInt32 v = int32From(in);
      s = v;
      model = decimal(v);
      break;
    }
    case 7: {
      SInt32 v = int32From(in);
      s += v;
      model = appended(model, decimal(v));
      break;
    }
    case 8: {
      std::string suffix = in.bytes(in.byte() % 32);
      s.change_suffix(suffix.c_str());
      size_t dot = model.rfind('.');
      if (dot != std::string::npos)
        model.resize(dot);
      model = appended(appended(model, "."), suffix);
      break;
    }
    case 9:
      s.to_lower();
      for (char &c : model)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      break;
    case 10: {
      s.filter_to_alnum_or_punct();
      std::string kept;
      for (char c : model)
        if (std::isalnum(static_cast<unsigned char>(c)) ||
            std::ispunct(static_cast<unsigned char>(c)))
          kept += c;
      model = kept;
      break;
    }
    case 11: {
      // Part of its own text, appended or assigned.
      size_t from = model.empty() ? 0 : in.byte() % (model.size() + 1);
      std::string part = model.substr(from);
      if (op & 0x80) {
        s = s.text + from;
        model = part;
      } else {
        s += s.text + from;
        model = appended(model, part);
      }
      break;
    }
    case 12: {
      std::string bytes = in.bytes(in.byte() + in.byte());
      CFStringRef cf = CFStringCreateWithBytes(
          nullptr, reinterpret_cast<const UInt8 *>(bytes.data()),
          static_cast<CFIndex>(bytes.size()), kCFStringEncodingMacRoman, false);
      if (op & 0x80)
        s = cf;
      else
        s += cf;
      if (cf)
        CFRelease(cf);
      // Conversion results are checked by the unit tests; follow the string.
      model = s.text;
      break;
    }
    case 13: {
      char line[600] = "";
      s.print(line);
      fuzz::check(model + "\n" == line, "print into a buffer");
      break;
    }
    }
    fuzz::checkTerminated(s, "text terminated");
    fuzz::check(model == s.text, "text agrees with the model");
  }
  return 0;
}
