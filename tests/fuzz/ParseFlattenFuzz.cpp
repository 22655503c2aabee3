// parse_into_list and flatten_list against a plain model of splitting and
// joining.  Input: a delimiter count, the delimiters, a separator byte, then
// the text.
#include "tests/fuzz/FuzzSupport.h"

#include "strings/CList.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> modelSplit(const std::string &text, const std::string &delimiters) {
  std::vector<std::string> fields;
  std::string field;
  for (char c : text) {
    if (delimiters.find(c) != std::string::npos) {
      if (!field.empty())
        fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  if (!field.empty())
    fields.push_back(field);
  return fields;
}

std::string modelJoin(const std::vector<std::string> &fields, char separator) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    out += fields[i].substr(0, 255 - out.size());
    // A NUL separator writes a terminator where the text already ends.
    if (i + 1 != fields.size() && out.size() < 254 && separator != '\0')
      out += separator;
  }
  return fuzz::cut255(out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in(data, size);
  std::string delimiters = fuzz::cut255(in.bytes(in.byte() % 8));
  char separator = static_cast<char>(in.byte());
  std::string source = in.rest();
  CString256 text(source.c_str());
  fuzz::checkTerminated(text, "constructed text");
  std::string kept = fuzz::cut255(source);
  fuzz::check(kept == text.text, "construction keeps the first 255 bytes");

  CList<CString256> list;
  text.parse_into_list(delimiters.c_str(), list);
  fuzz::check(kept == text.text, "parsing leaves the source alone");
  std::vector<std::string> expected = modelSplit(kept, delimiters);
  fuzz::check(list.count == static_cast<SInt32>(expected.size()), "field count");
  size_t i = 0;
  const elem<CString256> *last = nullptr;
  for (const elem<CString256> *e = list.head; e; e = e->next, ++i) {
    fuzz::checkTerminated(e->value, "field terminated");
    fuzz::check(i < expected.size() && expected[i] == e->value.text, "field text");
    last = e;
  }
  fuzz::check(i == expected.size() && last == list.tail, "list links");

  CString256 joined;
  joined.flatten_list(separator, list);
  fuzz::checkTerminated(joined, "joined text terminated");
  fuzz::check(modelJoin(expected, separator) == joined.text, "joined text");
  fuzz::check(list.cursor == nullptr, "walk ends at null");

  // Joining into, then parsing from, one of the list's own elements.
  if (list.tail) {
    list.tail->value.flatten_list(separator, list);
    fuzz::check(modelJoin(expected, separator) == list.tail->value.text, "join into element");
    CString256 before(list.tail->value);
    list.tail->value.parse_into_list(delimiters.c_str(), list);
    std::vector<std::string> again = modelSplit(before.text, delimiters);
    fuzz::check(list.count == static_cast<SInt32>(again.size()), "reparse count");
  }
  list.clear();
  return 0;
}
