// Every matcher and the prefix and suffix tests on one subject and pattern,
// checked against plain models and against each other.  Input: a subject
// length byte pair, the subject, then the pattern; the pattern also gives the
// wildcard pieces, split at '*'.
#include "tests/fuzz/FuzzSupport.h"

#include "strings/CList.h"
#include "strings/StringHelpers.h"

#include <cctype>
#include <string>

namespace {

std::string folded(std::string s) {
  for (char &c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool modelWildcard(const std::string &subject, const CList<CString256> &pieces, bool nocase) {
  std::string text = nocase ? folded(subject) : subject;
  size_t at = 0;
  for (const elem<CString256> *e = pieces.head; e; e = e->next) {
    std::string piece = nocase ? folded(e->value.text) : std::string(e->value.text);
    size_t found = text.find(piece, at);
    if (found == std::string::npos)
      return false;
    at = found + piece.size();
  }
  return true;
}

bool isZeroOrOne(float f) { return f == 0.0f || f == 1.0f; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader in(data, size);
  size_t subjectLength = in.byte() + in.byte();
  std::string rawSubject = in.bytes(subjectLength);
  std::string rawPattern = in.rest();
  CString256 subject(rawSubject.c_str());
  const std::string s = subject.text, p = fuzz::cut255(rawPattern);
  CString256 pattern(rawPattern.c_str());

  const CString256Matcher textMatchers[] = {
      matcher_case_exact_256,   matcher_nocase_exact_256,     matcher_case_partial_256,
      matcher_nocase_partial_256, matcher_case_approximate_256, matcher_nocase_approximate_256};
  float scores[6];
  for (int i = 0; i < 6; ++i) {
    scores[i] = -1.0f;
    subject.match(textMatchers[i], rawPattern.data(), &scores[i]);
    fuzz::check(scores[i] >= 0.0f && scores[i] <= 1.0f, "score within 0 to 1");
  }
  fuzz::check(s == subject.text, "matching leaves the subject alone");
  for (int i = 0; i < 4; ++i)
    fuzz::check(isZeroOrOne(scores[i]), "exact and partial score 0 or 1");

  const bool bothNonEmpty = !s.empty() && !p.empty();
  fuzz::check((scores[0] == 1.0f) == (bothNonEmpty && s == p), "case exact");
  fuzz::check((scores[1] == 1.0f) == (bothNonEmpty && folded(s) == folded(p)), "nocase exact");
  fuzz::check((scores[2] == 1.0f) == (!p.empty() && s.find(p) != std::string::npos),
              "case partial");
  fuzz::check((scores[3] == 1.0f) ==
                  (!p.empty() && folded(s).find(folded(p)) != std::string::npos),
              "nocase partial");
  fuzz::check((scores[4] == 1.0f) == (bothNonEmpty && s == p), "approximate 1 only if equal");
  fuzz::check((scores[5] == 1.0f) == (bothNonEmpty && folded(s) == folded(p)),
              "nocase approximate 1 only if equal");

  // The methods agree with the matchers over them.
  float direct = -1.0f;
  subject.match_case_approximate(pattern, &direct);
  fuzz::check(direct == scores[4], "method and matcher agree");

  // Prefix and suffix tests against the model.
  bool begins = s.compare(0, p.size(), p) == 0 && s.size() >= p.size();
  bool ends = s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
  fuzz::check(subject.beginsWith(&pattern, 0) == begins, "beginsWith");
  fuzz::check(subject.endsWith(pattern.text, 0) == ends, "endsWith");
  const std::string fs = folded(s), fp = folded(p);
  bool beginsNocase = fs.size() >= fp.size() && fs.compare(0, fp.size(), fp) == 0;
  bool endsNocase = fs.size() >= fp.size() && fs.compare(fs.size() - fp.size(), fp.size(), fp) == 0;
  fuzz::check(subject.beginsWith_nocase(pattern) == beginsNocase, "beginsWith_nocase");
  fuzz::check(subject.endsWith_nocase(pattern.text) == endsNocase, "endsWith_nocase");

  // Wildcards: the pattern's runs between '*' as pieces, and the raw subject
  // (the matcher copies and cuts it).
  CList<CString256> pieces;
  pattern.parse_into_list("*", pieces);
  for (bool nocase : {false, true}) {
    float w = -1.0f;
    (nocase ? match_wildcard_nocase_256 : match_wildcard_case_256)(rawSubject.data(), &pieces, &w);
    fuzz::check(isZeroOrOne(w), "wildcard score 0 or 1");
    fuzz::check((w == 1.0f) == modelWildcard(s, pieces, nocase), "wildcard placement");
    if (w == 1.0f)
      fuzz::check(pieces.cursor == nullptr, "full walk ends at null");
  }
  // The library folds with toupper here and with tolower in the model; they
  // agree because only ASCII letters fold in the default locale.
  fuzz::checkTerminated(subject, "subject terminated");
  fuzz::checkTerminated(pattern, "pattern terminated");
  return 0;
}
