// The matching family: exact, partial, approximate and wildcard tests, the
// prefix and suffix tests, and the free matchers over them.
#include "strings/CString256.h"

#include "strings/CList.h"
#include "strings/StringHelpers.h"

#include <cctype>
#include <cmath>
#include <cstring>

namespace {

// Character equality of the `case` forms (raw bytes) and of the `nocase`
// forms (bytes folded with tolower).
struct SameByte {
  bool operator()(char a, char b) const { return a == b; }
};
struct SameFolded {
  bool operator()(char a, char b) const {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  }
};

template <class Equal> float exactScore(const char *subject, const char *pattern, Equal equal) {
  for (;;) {
    if (*pattern == '\0' || *subject == '\0' || !equal(*subject, *pattern))
      return 0.0f;
    ++subject;
    ++pattern;
    if (*subject == '\0' && *pattern == '\0')
      return 1.0f;
  }
}

template <class Equal> float partialScore(const char *subject, const char *pattern, Equal equal) {
  if (*pattern == '\0')
    return 0.0f;
  for (const char *start = subject; *start != '\0'; ++start) {
    const char *s = start;
    const char *p = pattern;
    while (*p != '\0' && *s != '\0' && equal(*s, *p)) {
      ++s;
      ++p;
    }
    if (*p == '\0')
      return 1.0f;
  }
  return 0.0f;
}

template <class Equal>
float approximateScore(const char *subject, const char *pattern, Equal equal) {
  const int n = static_cast<int>(std::strlen(subject));
  const int m = static_cast<int>(std::strlen(pattern));
  // Two empty texts: the ratio below would be 0/0.  They share no
  // character, so they score as no match, like the exact test rates them.
  if (n + m == 0)
    return 0.0f;
  int c = 0;
  int k = 0;
  for (const char *p = pattern; *p != '\0' && k < n; ++p) {
    for (int j = k; j < n; ++j) {
      if (equal(subject[j], *p)) {
        ++c;
        k = j + 1;
        break;
      }
    }
  }
  // The precisions are part of the result: callers compare scores bit for
  // bit.  Differences in single precision, sum and ratio in double, rounded
  // to single precision once at the end.
  float subjectMiss = std::fabs(static_cast<float>(n) - static_cast<float>(c));
  float patternMiss = std::fabs(static_cast<float>(m) - static_cast<float>(c));
  double missed = static_cast<double>(subjectMiss) + static_cast<double>(patternMiss);
  return static_cast<float>(1.0 - missed / static_cast<double>(n + m));
}

// Walks the pieces from the list's head, each searched from where the
// previous occurrence ended.
template <class Search>
float wildcardScore(const char *subject, CList<CString256> &pieces, Search search) {
  const char *position = subject;
  pieces.cursor = pieces.head;
  while (pieces.cursor) {
    elem<CString256> *piece = pieces.cursor;
    pieces.cursor = piece->next;
    const char *found = search(position, piece->value.text);
    if (!found)
      return 0.0f;
    position = found + std::strlen(piece->value.text);
  }
  return 1.0f;
}

const char *caseSearch(const char *text, const char *piece) { return std::strstr(text, piece); }
const char *nocaseSearch(const char *text, const char *piece) { return STRSTR(text, piece); }

bool samePrefix(const char *text, const char *prefix, std::size_t length, unsigned char nocase) {
  return nocase ? STRNCMP(text, prefix, static_cast<int>(length)) == 0
                : std::strncmp(text, prefix, length) == 0;
}

} // namespace

void CString256::match_case_exact(const CString256 &pattern, float *score) const {
  *score = exactScore(text, pattern.text, SameByte());
}

void CString256::match_nocase_exact(const CString256 &pattern, float *score) const {
  *score = exactScore(text, pattern.text, SameFolded());
}

void CString256::match_case_partial(const CString256 &pattern, float *score) const {
  *score = partialScore(text, pattern.text, SameByte());
}

void CString256::match_nocase_partial(const CString256 &pattern, float *score) const {
  *score = partialScore(text, pattern.text, SameFolded());
}

void CString256::match_case_approximate(const CString256 &pattern, float *score) const {
  *score = approximateScore(text, pattern.text, SameByte());
}

void CString256::match_nocase_approximate(const CString256 &pattern, float *score) const {
  *score = approximateScore(text, pattern.text, SameFolded());
}

void CString256::match_wildcard_case(CList<CString256> &pieces, float *score) const {
  *score = wildcardScore(text, pieces, caseSearch);
}

void CString256::match_wildcard_nocase(CList<CString256> &pieces, float *score) const {
  *score = wildcardScore(text, pieces, nocaseSearch);
}

void CString256::match(CString256Matcher matcher, void *argument, float *score) {
  matcher(this, argument, score);
}

bool CString256::beginsWith(const CString256 *prefix, unsigned char nocase) const {
  return beginsWith(prefix->text, nocase);
}

bool CString256::beginsWith(const char *prefix, unsigned char nocase) const {
  return samePrefix(text, prefix, std::strlen(prefix), nocase);
}

bool CString256::endsWith(const CString256 *suffix, unsigned char nocase) const {
  return endsWith(suffix->text, nocase);
}

bool CString256::endsWith(const char *suffix, unsigned char nocase) const {
  std::size_t length = std::strlen(suffix);
  std::size_t own = std::strlen(text);
  if (own < length)
    return false;
  return samePrefix(text + own - length, suffix, length, nocase);
}

bool CString256::beginsWith_nocase(const CString256 &prefix) const { return beginsWith(&prefix, 1); }
bool CString256::beginsWith_nocase(const char *prefix) const { return beginsWith(prefix, 1); }
bool CString256::endsWith_nocase(const CString256 &suffix) const { return endsWith(&suffix, 1); }
bool CString256::endsWith_nocase(const char *suffix) const { return endsWith(suffix, 1); }

// The pattern (or, for the wildcard matchers, the subject) is copied into a
// string local to the call: no allocation, and the copy is cut at 255 bytes.

void matcher_case_exact_256(void *subject, void *argument, float *score) {
  static_cast<CString256 *>(subject)->match_case_exact(CString256(static_cast<char *>(argument)),
                                                       score);
}

void matcher_nocase_exact_256(void *subject, void *argument, float *score) {
  static_cast<CString256 *>(subject)->match_nocase_exact(CString256(static_cast<char *>(argument)),
                                                         score);
}

void matcher_case_partial_256(void *subject, void *argument, float *score) {
  static_cast<CString256 *>(subject)->match_case_partial(CString256(static_cast<char *>(argument)),
                                                         score);
}

void matcher_nocase_partial_256(void *subject, void *argument, float *score) {
  static_cast<CString256 *>(subject)->match_nocase_partial(
      CString256(static_cast<char *>(argument)), score);
}

void matcher_case_approximate_256(void *subject, void *argument, float *score) {
  static_cast<CString256 *>(subject)->match_case_approximate(
      CString256(static_cast<char *>(argument)), score);
}

void matcher_nocase_approximate_256(void *subject, void *argument, float *score) {
  static_cast<CString256 *>(subject)->match_nocase_approximate(
      CString256(static_cast<char *>(argument)), score);
}

void match_wildcard_case_256(void *subject, void *argument, float *score) {
  CString256(static_cast<char *>(subject))
      .match_wildcard_case(*static_cast<CList<CString256> *>(argument), score);
}

void match_wildcard_nocase_256(void *subject, void *argument, float *score) {
  CString256(static_cast<char *>(subject))
      .match_wildcard_nocase(*static_cast<CList<CString256> *>(argument), score);
}
