#include <CoreServices/CoreServices.h>

#include "platform/memory/MemoryTesting.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using quillmate::memory::AllocatingCall;
using quillmate::memory::AllocationFailureScope;

TEST(MemoryManager, HandleIsAPointerToAMasterPointer) {
  Handle h = NewHandle(4);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(MemError(), noErr);
  ASSERT_NE(*h, nullptr);
  std::memcpy(*h, "abcd", 4);
  EXPECT_EQ(GetHandleSize(h), 4);
  DisposeHandle(h);
  EXPECT_EQ(MemError(), noErr);
}

TEST(MemoryManager, GrowingKeepsContentsAndTheHandle) {
  Handle h = NewHandle(0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetHandleSize(h), 0);
  for (int i = 0; i < 1000; ++i) {
    char c = static_cast<char>('a' + i % 26);
    ASSERT_EQ(PtrAndHand(&c, h, 1), noErr);
  }
  ASSERT_EQ(GetHandleSize(h), 1000);
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ((*h)[i], 'a' + i % 26);
  SetHandleSize(h, 3);
  EXPECT_EQ(MemError(), noErr);
  EXPECT_EQ(GetHandleSize(h), 3);
  EXPECT_EQ(std::memcmp(*h, "abc", 3), 0);
  DisposeHandle(h);
}

TEST(MemoryManager, NullAndNegativeArgumentsGiveStatusCodes) {
  EXPECT_EQ(GetHandleSize(nullptr), 0);
  EXPECT_EQ(MemError(), nilHandleErr);
  EXPECT_EQ(PtrAndHand("x", nullptr, 1), nilHandleErr);
  EXPECT_EQ(NewHandle(-1), nullptr);
  EXPECT_EQ(MemError(), memFullErr);
  Handle h = NewHandleClear(8);
  ASSERT_NE(h, nullptr);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ((*h)[i], 0);
  SetHandleSize(h, -5);
  EXPECT_EQ(MemError(), memFullErr);
  EXPECT_EQ(GetHandleSize(h), 8);
  DisposeHandle(h);
}

TEST(MemoryManager, InjectedFailuresChangeNothing) {
  Handle h = NewHandle(2);
  std::memcpy(*h, "xy", 2);
  {
    AllocationFailureScope scope(AllocationFailureScope::nthCall(2));
    EXPECT_EQ(PtrAndHand("a", h, 1), noErr);     // first call succeeds
    EXPECT_EQ(PtrAndHand("b", h, 1), memFullErr); // second fails
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(PtrAndHand("c", h, 1), noErr);
  }
  EXPECT_EQ(GetHandleSize(h), 4);
  EXPECT_EQ(std::memcmp(*h, "xyac", 4), 0);
  {
    AllocationFailureScope scope(
        [](AllocatingCall call, Size) { return call == AllocatingCall::NewHandle; });
    EXPECT_EQ(NewHandle(1), nullptr);
    EXPECT_EQ(MemError(), memFullErr);
    SetHandleSize(h, 100);
    EXPECT_EQ(MemError(), noErr);
    {
      AllocationFailureScope inner(AllocationFailureScope::everyCall());
      SetHandleSize(h, 10);
      EXPECT_EQ(MemError(), memFullErr);
      EXPECT_EQ(GetHandleSize(h), 100);
    }
    SetHandleSize(h, 4);
    EXPECT_EQ(MemError(), noErr);
  }
  Handle fresh = NewHandle(1);
  EXPECT_NE(fresh, nullptr);
  DisposeHandle(fresh);
  DisposeHandle(h);
}

TEST(MemoryManager, MemErrorIsPerThread) {
  EXPECT_EQ(NewHandle(-1), nullptr);
  OSErr seenOnOtherThread = 1;
  std::thread([&] { seenOnOtherThread = MemError(); }).join();
  EXPECT_EQ(seenOnOtherThread, noErr);
  EXPECT_EQ(MemError(), memFullErr);
}
