#include "strings/CList.h"
#include "strings/CString256.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>

namespace {

using StringList = CList<CString256>;

enum class Kind { CaseExact, NocaseExact, CasePartial, NocasePartial, CaseApprox, NocaseApprox };

float score(Kind kind, const char *subject, const char *pattern) {
  CString256 s(subject), p(pattern);
  float out = -1.0f;
  switch (kind) {
  case Kind::CaseExact: s.match_case_exact(p, &out); break;
  case Kind::NocaseExact: s.match_nocase_exact(p, &out); break;
  case Kind::CasePartial: s.match_case_partial(p, &out); break;
  case Kind::NocasePartial: s.match_nocase_partial(p, &out); break;
  case Kind::CaseApprox: s.match_case_approximate(p, &out); break;
  case Kind::NocaseApprox: s.match_nocase_approximate(p, &out); break;
  }
  return out;
}

// Scores are compared bit for bit: EXPECT_EQ on floats is exact.
TEST(MatchExact, BothTextsNonEmptyAndEqual) {
  EXPECT_EQ(score(Kind::CaseExact, "abc", "abc"), 1.0f);
  EXPECT_EQ(score(Kind::CaseExact, "abc", "abcd"), 0.0f);
  EXPECT_EQ(score(Kind::CaseExact, "abcd", "abc"), 0.0f);
  EXPECT_EQ(score(Kind::CaseExact, "", ""), 0.0f);
  EXPECT_EQ(score(Kind::CaseExact, "a", ""), 0.0f);
  EXPECT_EQ(score(Kind::CaseExact, "", "a"), 0.0f);
  EXPECT_EQ(score(Kind::CaseExact, "ABC", "abc"), 0.0f);
  EXPECT_EQ(score(Kind::NocaseExact, "ABC", "abc"), 1.0f);
  EXPECT_EQ(score(Kind::NocaseExact, "ABC", "abd"), 0.0f);
  EXPECT_EQ(score(Kind::NocaseExact, "\xC9", "\xE9"), 0.0f); // no folding above ASCII
  EXPECT_EQ(score(Kind::NocaseExact, "", ""), 0.0f);
}

TEST(MatchPartial, NonEmptyPatternWhollyInsideTheSubject) {
  EXPECT_EQ(score(Kind::CasePartial, "hello world", "o w"), 1.0f);
  EXPECT_EQ(score(Kind::CasePartial, "aab", "ab"), 1.0f);
  EXPECT_EQ(score(Kind::CasePartial, "abc", ""), 0.0f);
  EXPECT_EQ(score(Kind::CasePartial, "", ""), 0.0f);
  EXPECT_EQ(score(Kind::CasePartial, "ab", "abc"), 0.0f);
  EXPECT_EQ(score(Kind::CasePartial, "xab", "abc"), 0.0f); // runs off the end
  EXPECT_EQ(score(Kind::CasePartial, "abc", "abc"), 1.0f);
  EXPECT_EQ(score(Kind::CasePartial, "abc", "c"), 1.0f);
  EXPECT_EQ(score(Kind::CasePartial, "Hello", "hell"), 0.0f);
  EXPECT_EQ(score(Kind::NocasePartial, "Hello", "hELL"), 1.0f);
  EXPECT_EQ(score(Kind::NocasePartial, "Hello", "help"), 0.0f);
}

TEST(MatchApproximate, ScoresBitForBit) {
  struct Case {
    const char *subject, *pattern;
    float expected;
  };
  for (Case c : {Case{"abc", "abc", 1.0f}, Case{"axbxc", "abc", 0.75f},
                 Case{"abc", "axc", 0.66666669f}, Case{"cab", "bab", 0.33333334f},
                 Case{"bab", "cab", 0.66666669f}, Case{"hello", "yellow", 0.72727275f},
                 Case{"banana", "ab", 0.25f}, Case{"abcd", "dcba", 0.25f},
                 Case{"Hello", "hello", 0.80000001f}, Case{"abc", "", 0.0f},
                 Case{"", "abc", 0.0f}, Case{"abc", "xyz", 0.0f}})
    EXPECT_EQ(score(Kind::CaseApprox, c.subject, c.pattern), c.expected)
        << c.subject << " / " << c.pattern;
  EXPECT_EQ(score(Kind::NocaseApprox, "Hello", "hello"), 1.0f);
  EXPECT_EQ(score(Kind::NocaseApprox, "HELLO", "yellow"), 0.72727275f);
}

TEST(MatchApproximate, EqualsTwoCOverNPlusMOnLongTexts) {
  std::string subject(255, 'a'), pattern(200, 'a');
  pattern[0] = 'b';
  float s = score(Kind::CaseApprox, subject.c_str(), pattern.c_str());
  EXPECT_EQ(s, static_cast<float>(1.0 - (56.0 + 1.0) / 455.0));
  EXPECT_EQ(s, static_cast<float>(2.0 * 199 / 455.0));
}

TEST(MatchApproximate, TwoEmptyTextsScoreZeroNotNaN) {
  float s = score(Kind::CaseApprox, "", "");
  EXPECT_FALSE(std::isnan(s));
  EXPECT_EQ(s, 0.0f);
  EXPECT_EQ(score(Kind::NocaseApprox, "", ""), 0.0f);
}

float wildcard(bool nocase, const char *subject, StringList &list) {
  float out = -1.0f;
  CString256 s(subject);
  if (nocase)
    s.match_wildcard_nocase(list, &out);
  else
    s.match_wildcard_case(list, &out);
  return out;
}

void fill(StringList &list, std::initializer_list<const char *> texts) {
  list.clear();
  for (const char *t : texts)
    list.append(CString256(t));
}

TEST(MatchWildcard, PiecesInOrderWithoutOverlap) {
  StringList list;
  fill(list, {"ab", "cd"});
  EXPECT_EQ(wildcard(false, "xxabyycdzz", list), 1.0f);
  EXPECT_EQ(wildcard(false, "cdab", list), 0.0f);
  fill(list, {"aba", "aba"});
  EXPECT_EQ(wildcard(false, "ababa", list), 0.0f);
  EXPECT_EQ(wildcard(false, "abaaba", list), 1.0f);
  fill(list, {"a*"});
  EXPECT_EQ(wildcard(false, "abc", list), 0.0f);
  EXPECT_EQ(wildcard(false, "xa*y", list), 1.0f);
  fill(list, {"AB"});
  EXPECT_EQ(wildcard(true, "xaby", list), 1.0f);
  EXPECT_EQ(wildcard(false, "xaby", list), 0.0f);
  fill(list, {});
  EXPECT_EQ(wildcard(false, "anything", list), 1.0f);
  EXPECT_EQ(wildcard(true, "", list), 1.0f);
  fill(list, {"a", "", "b"});
  EXPECT_EQ(wildcard(false, "ab", list), 1.0f);
  fill(list, {"", "a"});
  EXPECT_EQ(wildcard(false, "a", list), 1.0f);
  EXPECT_EQ(wildcard(false, "", list), 0.0f);
}

TEST(MatchWildcard, CursorEndsNullOrAfterTheMissingPiece) {
  StringList list;
  fill(list, {"a", "b", "c"});
  EXPECT_EQ(wildcard(false, "abc", list), 1.0f);
  EXPECT_EQ(list.cursor, nullptr);
  EXPECT_EQ(wildcard(true, "a-x-c", list), 0.0f);
  EXPECT_EQ(list.cursor, list.tail); // the element after "b"
  EXPECT_EQ(wildcard(false, "q", list), 0.0f);
  EXPECT_EQ(list.cursor, list.head->next);
  EXPECT_EQ(wildcard(false, "ab", list), 0.0f);
  EXPECT_EQ(list.cursor, nullptr); // "c", the last piece, was missing
}

TEST(PrefixSuffix, CaseAndFlag) {
  CString256 abc("abc"), upper("ABC"), ab("ab"), empty("");
  EXPECT_TRUE(abc.beginsWith("ab", 0));
  EXPECT_TRUE(abc.beginsWith(&ab, 0));
  EXPECT_TRUE(abc.beginsWith("", 0));
  EXPECT_TRUE(abc.beginsWith(&empty, 1));
  EXPECT_FALSE(abc.beginsWith("abcd", 0));
  EXPECT_FALSE(abc.beginsWith("abcd", 1));
  EXPECT_FALSE(upper.beginsWith("ab", 0));
  EXPECT_TRUE(upper.beginsWith("ab", 1));
  EXPECT_TRUE(upper.beginsWith("ab", 0x80)); // any non-zero flag
  EXPECT_TRUE(upper.beginsWith_nocase("ab"));
  EXPECT_TRUE(upper.beginsWith_nocase(ab));
  EXPECT_TRUE(empty.beginsWith("", 0));
  EXPECT_FALSE(empty.beginsWith("a", 0));

  EXPECT_TRUE(abc.endsWith("bc", 0));
  EXPECT_TRUE(abc.endsWith("", 0));
  EXPECT_TRUE(abc.endsWith("abc", 0));
  EXPECT_FALSE(abc.endsWith("xabc", 0));
  EXPECT_FALSE(abc.endsWith("xabc", 1));
  EXPECT_FALSE(abc.endsWith("ab", 0));
  EXPECT_FALSE(upper.endsWith("bc", 0));
  EXPECT_TRUE(upper.endsWith("bc", 1));
  CString256 bc("bC");
  EXPECT_TRUE(upper.endsWith(&bc, 1));
  EXPECT_FALSE(upper.endsWith(&bc, 0));
  EXPECT_TRUE(upper.endsWith_nocase(bc));
  EXPECT_TRUE(upper.endsWith_nocase("c"));
  EXPECT_TRUE(empty.endsWith("", 1));
}

TEST(Matchers, EachRunsItsMethod) {
  CString256 subject("Hello World");
  char text[] = "hello world";
  struct Case {
    CString256Matcher matcher;
    float expected;
  };
  for (Case c : {Case{matcher_case_exact_256, 0.0f}, Case{matcher_nocase_exact_256, 1.0f},
                 Case{matcher_case_partial_256, 0.0f}, Case{matcher_nocase_partial_256, 1.0f},
                 Case{matcher_case_approximate_256, static_cast<float>(18.0 / 22.0)},
                 Case{matcher_nocase_approximate_256, 1.0f}}) {
    float out = -1.0f;
    subject.match(c.matcher, text, &out);
    EXPECT_EQ(out, c.expected);
  }

  char wor[] = "WOR";
  float out = -1.0f;
  CString256("hello world").match(matcher_nocase_partial_256, wor, &out);
  EXPECT_EQ(out, 1.0f);

  StringList list;
  fill(list, {"LL", "WO"});
  out = -1.0f;
  subject.match(match_wildcard_case_256, &list, &out);
  EXPECT_EQ(out, 0.0f);
  subject.match(match_wildcard_nocase_256, &list, &out);
  EXPECT_EQ(out, 1.0f);
  EXPECT_EQ(list.cursor, nullptr);
}

TEST(Matchers, CopiesAreCutAt255) {
  std::string subject255(255, 's');
  std::string pattern300 = subject255 + std::string(45, 'p');
  CString256 subject(subject255.c_str());
  float out = -1.0f;
  matcher_case_exact_256(&subject, pattern300.data(), &out);
  EXPECT_EQ(out, 1.0f);

  std::string long300(300, 'x');
  long300.replace(260, 3, "key");
  StringList list;
  fill(list, {"key"});
  out = -1.0f;
  match_wildcard_case_256(long300.data(), &list, &out);
  EXPECT_EQ(out, 0.0f);
  long300.replace(100, 3, "key");
  match_wildcard_case_256(long300.data(), &list, &out);
  EXPECT_EQ(out, 1.0f);
}

} // namespace
