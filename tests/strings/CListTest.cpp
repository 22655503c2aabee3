#include "strings/CList.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using StringList = CList<CString256>;
using StringElem = elem<CString256>;

std::vector<std::string> contents(const StringList &list) {
  std::vector<std::string> out;
  for (const StringElem *e = list.head; e; e = e->next)
    out.emplace_back(e->value.text);
  return out;
}

// Checks the list's links against its counters.
void expectConsistent(const StringList &list) {
  SInt32 n = 0;
  const StringElem *last = nullptr;
  for (const StringElem *e = list.head; e; e = e->next) {
    last = e;
    ++n;
  }
  EXPECT_EQ(n, list.count);
  EXPECT_EQ(last, list.tail);
  if (list.count == 0) {
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
  }
}

std::vector<std::string> parsed(const char *text, const char *delimiters) {
  StringList list;
  CString256(text).parse_into_list(delimiters, list);
  expectConsistent(list);
  return contents(list);
}

using Fields = std::vector<std::string>;

TEST(CList, AppendKeepsOrderCopiesAndMovesTheCursor) {
  StringList list;
  EXPECT_EQ(list.count, 0);
  CString256 a("a");
  list.append(a);
  EXPECT_EQ(list.cursor, nullptr); // the former tail: none
  StringElem *first = list.head;
  list.append(CString256("b"));
  EXPECT_EQ(list.cursor, first);
  list.append(CString256("c"));
  EXPECT_EQ(list.cursor, first->next);
  EXPECT_EQ(contents(list), (Fields{"a", "b", "c"}));
  expectConsistent(list);
  EXPECT_EQ(list.tail->next, nullptr);

  // The element holds its own copy.
  a = "changed";
  EXPECT_STREQ(list.head->value.text, "a");
}

TEST(CList, ClearEmptiesTheList) {
  StringList list;
  list.clear();
  expectConsistent(list);
  for (const char *s : {"x", "y", "z"})
    list.append(CString256(s));
  list.clear();
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(list.cursor, nullptr);
  expectConsistent(list);
  list.append(CString256("again"));
  EXPECT_EQ(contents(list), (Fields{"again"}));
}

TEST(ParseIntoList, SplitsAtAnyDelimiterAndDropsEmptyFields) {
  EXPECT_EQ(parsed("a,,b", ","), (Fields{"a", "b"}));
  EXPECT_EQ(parsed(",a,", ","), (Fields{"a"}));
  EXPECT_EQ(parsed("a b;c", " ;"), (Fields{"a", "b", "c"}));
  EXPECT_EQ(parsed(" keep blanks ,x", ","), (Fields{" keep blanks ", "x"}));
  EXPECT_EQ(parsed("", ","), Fields{});
  EXPECT_EQ(parsed(",,,", ","), Fields{});
  EXPECT_EQ(parsed("whole text", ""), (Fields{"whole text"}));
  EXPECT_EQ(parsed("", ""), Fields{});
}

TEST(ParseIntoList, ReplacesWhatTheTargetHeld) {
  StringList list;
  CString256("old1 old2 old3").parse_into_list(" ", list);
  ASSERT_EQ(list.count, 3);
  CString256(",,").parse_into_list(",", list);
  EXPECT_EQ(list.count, 0);
  expectConsistent(list);
  CString256("p q").parse_into_list(" ", list);
  EXPECT_EQ(contents(list), (Fields{"p", "q"}));
}

TEST(ParseIntoList, OwnElementParsesAsItWasBeforeTheCall) {
  StringList list;
  CString256("a-b c-d").parse_into_list(" ", list);
  ASSERT_EQ(list.count, 2);
  list.tail->value.parse_into_list("-", list);
  EXPECT_EQ(contents(list), (Fields{"c", "d"}));
  expectConsistent(list);
}

TEST(ParseIntoList, LeavesTheSourceUnchanged) {
  CString256 source("x:y");
  StringList list;
  source.parse_into_list(":", list);
  EXPECT_STREQ(source.text, "x:y");
}

TEST(FlattenList, JoinsWithTheSeparatorBetweenElementsOnly) {
  StringList list;
  CString256 out("stale");
  out.flatten_list(',', list);
  EXPECT_STREQ(out.text, "");
  EXPECT_EQ(list.cursor, nullptr);

  list.append(CString256("only"));
  out.flatten_list(',', list);
  EXPECT_STREQ(out.text, "only");

  list.append(CString256("b"));
  list.append(CString256("c"));
  list.head->value = "a";
  out.flatten_list(',', list);
  EXPECT_STREQ(out.text, "a,b,c");
  EXPECT_EQ(list.cursor, nullptr);
  out.flatten_list('\0', list);
  EXPECT_STREQ(out.text, "abc");

  CString256("a,,b").parse_into_list(",", list);
  out.flatten_list(',', list);
  EXPECT_STREQ(out.text, "a,b");
}

TEST(FlattenList, CutsAt255AndAddsSeparatorsOnlyBelow254) {
  StringList list;
  CString256 out;
  list.append(CString256(std::string(254, 'a').c_str()));
  list.append(CString256("xy"));
  out.flatten_list(',', list);
  EXPECT_EQ(std::string(out.text), std::string(254, 'a') + "x");

  list.clear();
  list.append(CString256(std::string(253, 'a').c_str()));
  list.append(CString256("xy"));
  out.flatten_list(',', list);
  EXPECT_EQ(std::string(out.text), std::string(253, 'a') + ",x");

  list.append(CString256("more"));
  out.flatten_list(',', list);
  EXPECT_EQ(std::strlen(out.text), 255u);
}

TEST(FlattenList, IntoOneOfItsOwnElements) {
  StringList list;
  CString256("one two three").parse_into_list(" ", list);
  list.head->next->value.flatten_list('+', list);
  EXPECT_STREQ(list.head->next->value.text, "one+two+three");
  list.head->value.flatten_list('+', list);
  EXPECT_STREQ(list.head->value.text, "one+one+two+three+three");
}

// As for the string pool: every free element is taken first (into `held`),
// so the next element wanted starts a fresh chunk.
class ElemPool : public ::testing::Test {
protected:
  void SetUp() override {
    while (StringElem::lfree)
      held.append(CString256("held"));
  }
  StringList held;
};

TEST_F(ElemPool, FreshChunkHandsOutElementZeroThenTopDown) {
  StringList list;
  list.append(CString256("0"));
  StringElem *first = list.head;
  EXPECT_EQ(StringElem::lfree, first + 255);
  for (int k = 255; k >= 1; --k) {
    list.append(CString256("k"));
    ASSERT_EQ(list.tail, first + k) << "element " << k;
  }
  EXPECT_EQ(StringElem::lfree, nullptr);
  list.append(CString256("257th"));
  EXPECT_TRUE(list.tail < first || list.tail >= first + 256);
  EXPECT_EQ(StringElem::lfree, list.tail + 255);
  EXPECT_EQ(list.count, 257);
}

TEST_F(ElemPool, ClearedElementsAreReusedFormerTailFirst) {
  StringList list;
  for (const char *s : {"a", "b", "c"})
    list.append(CString256(s));
  StringElem *a = list.head, *b = a->next, *c = b->next;
  StringElem *spare = StringElem::lfree;
  list.clear();
  EXPECT_EQ(StringElem::lfree, c);

  StringList other;
  other.append(CString256("1"));
  other.append(CString256("2"));
  other.append(CString256("3"));
  EXPECT_EQ(other.head, c);
  EXPECT_EQ(other.head->next, b);
  EXPECT_EQ(other.tail, a);
  EXPECT_EQ(StringElem::lfree, spare);

  // Parsing into a list drops its elements into the pool the same way.
  CString256("x y").parse_into_list(" ", other);
  EXPECT_EQ(other.head, a);
  EXPECT_EQ(other.tail, b);
  EXPECT_EQ(StringElem::lfree, c);
}

TEST_F(ElemPool, DestroyingAListReturnsItsElements) {
  StringElem *last;
  {
    StringList list;
    list.append(CString256("a"));
    list.append(CString256("b"));
    last = list.tail;
  }
  EXPECT_EQ(StringElem::lfree, last);
}

TEST(ElemPoolDeathTest, UseAfterClearIsCaught) {
#ifndef QUILLMATE_POOL_POISONING
  GTEST_SKIP() << "needs AddressSanitizer";
#else
  EXPECT_DEATH(
      {
        StringList list;
        list.append(CString256("gone"));
        StringElem *e = list.head;
        list.clear();
        volatile char c = e->value.text[0];
        (void)c;
      },
      "use-after-poison");
#endif
}

} // namespace
