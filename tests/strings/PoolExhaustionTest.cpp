// What the pools do when the system cannot supply a chunk.  This executable
// replaces the global array allocation so that it can be made to fail; the
// pools are its only users while a failure is armed.
#include "strings/CList.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {
bool failArrayNew = false;
}

void *operator new[](std::size_t size) {
  if (failArrayNew)
    throw std::bad_alloc();
  if (void *p = std::malloc(size ? size : 1))
    return p;
  throw std::bad_alloc();
}
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace {

using StringList = CList<CString256>;

struct ArmedFailure {
  ArmedFailure() { failArrayNew = true; }
  ~ArmedFailure() { failArrayNew = false; }
};

TEST(PoolExhaustion, StringNewThrowsAndChainsNothing) {
  std::vector<CString256 *> held;
  while (CString256::nfree)
    held.push_back(new CString256);
  {
    ArmedFailure armed;
    EXPECT_THROW(new CString256("x"), std::bad_alloc);
  }
  EXPECT_EQ(CString256::nfree, nullptr);
  CString256 *p = new CString256("after");
  EXPECT_STREQ(p->text, "after");
  EXPECT_EQ(CString256::nfree, p + 255);
  delete p;
  for (CString256 *q : held)
    delete q;
}

TEST(PoolExhaustion, FailedAppendLeavesListAndPoolAsTheyWere) {
  StringList held;
  while (elem<CString256>::lfree)
    held.append(CString256("held"));
  StringList list;
  list.append(CString256("kept"));
  elem<CString256> *head = list.head;
  list.append(CString256("kept too"));
  elem<CString256> *cursor = list.cursor;
  while (elem<CString256>::lfree)
    held.append(CString256("held"));
  {
    ArmedFailure armed;
    EXPECT_THROW(list.append(CString256("lost")), std::bad_alloc);
  }
  EXPECT_EQ(list.count, 2);
  EXPECT_EQ(list.head, head);
  EXPECT_EQ(list.tail, head->next);
  EXPECT_EQ(list.cursor, cursor);
  EXPECT_EQ(list.tail->next, nullptr);
  EXPECT_EQ(elem<CString256>::lfree, nullptr);
}

TEST(PoolExhaustion, FailedParseKeepsTheFieldsAppendedBeforeIt) {
  StringList two, held;
  two.append(CString256("1"));
  two.append(CString256("2"));
  while (elem<CString256>::lfree)
    held.append(CString256("held"));
  // Two free elements: the third field needs a chunk.
  two.clear();
  StringList target;
  {
    ArmedFailure armed;
    EXPECT_THROW(CString256("a b c d").parse_into_list(" ", target), std::bad_alloc);
  }
  EXPECT_EQ(target.count, 2);
  ASSERT_NE(target.head, nullptr);
  EXPECT_STREQ(target.head->value.text, "a");
  EXPECT_STREQ(target.tail->value.text, "b");
  EXPECT_EQ(target.tail->next, nullptr);
}

} // namespace
