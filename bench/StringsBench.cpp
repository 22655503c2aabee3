// The string library side by side with the standard library doing the same
// work.  Figures go into docs/strings.md.
#include "strings/CList.h"
#include "strings/CString256.h"
#include "strings/StringHelpers.h"

#include <benchmark/benchmark.h>

#include <charconv>
#include <string>
#include <vector>

namespace {

const SInt32 kValues[] = {0, 7, -42, 1234, -98765, 2147483647, -2147483647 - 1, 31337, 100000};

void BM_ItoaBuffer(benchmark::State &state) {
  char buffer[32];
  for (auto _ : state)
    for (SInt32 v : kValues) {
      itoa(buffer, 31, v);
      benchmark::DoNotOptimize(buffer);
    }
  state.SetItemsProcessed(state.iterations() * std::size(kValues));
}
BENCHMARK(BM_ItoaBuffer);

void BM_StdToChars(benchmark::State &state) {
  char buffer[32];
  for (auto _ : state)
    for (SInt32 v : kValues) {
      *std::to_chars(buffer, buffer + sizeof buffer, v).ptr = '\0';
      benchmark::DoNotOptimize(buffer);
    }
  state.SetItemsProcessed(state.iterations() * std::size(kValues));
}
BENCHMARK(BM_StdToChars);

std::string textOf(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i)
    s += static_cast<char>('a' + i % 26);
  return s;
}

// Construct, assign and append the same text; lengths 16 and 200.
void BM_CString256ConstructAssignAppend(benchmark::State &state) {
  std::string text = textOf(static_cast<std::size_t>(state.range(0)));
  const char *source = text.c_str();
  for (auto _ : state) {
    CString256 s(source);
    benchmark::DoNotOptimize(s.text);
    s = source;
    s += "-tail";
    benchmark::DoNotOptimize(s.text);
  }
}
BENCHMARK(BM_CString256ConstructAssignAppend)->Arg(16)->Arg(200);

void BM_StdStringConstructAssignAppend(benchmark::State &state) {
  std::string text = textOf(static_cast<std::size_t>(state.range(0)));
  const char *source = text.c_str();
  for (auto _ : state) {
    std::string s(source);
    benchmark::DoNotOptimize(s.data());
    s = source;
    s += "-tail";
    benchmark::DoNotOptimize(s.data());
  }
}
BENCHMARK(BM_StdStringConstructAssignAppend)->Arg(16)->Arg(200);

// An object of CString256's size from the global allocator.
struct PlainString {
  char text[256];
  void *link;
};

// Allocate a batch, then free it: the allocator cannot keep handing back one
// block, and the pool's chunk refills are part of the cost.
constexpr int kBatch = 1000;

void BM_PoolNewDelete(benchmark::State &state) {
  std::vector<CString256 *> live(kBatch);
  for (auto _ : state) {
    for (auto &p : live) {
      p = new CString256;
      benchmark::DoNotOptimize(p);
    }
    for (auto *p : live)
      delete p;
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PoolNewDelete);

void BM_GlobalNewDelete(benchmark::State &state) {
  std::vector<PlainString *> live(kBatch);
  for (auto _ : state) {
    for (auto &p : live) {
      p = new PlainString;
      p->text[0] = '\0';
      benchmark::DoNotOptimize(p);
    }
    for (auto *p : live)
      delete p;
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_GlobalNewDelete);

void BM_PoolNewDeleteOne(benchmark::State &state) {
  for (auto _ : state) {
    CString256 *p = new CString256;
    benchmark::DoNotOptimize(p);
    delete p;
  }
}
BENCHMARK(BM_PoolNewDeleteOne);

void BM_GlobalNewDeleteOne(benchmark::State &state) {
  for (auto _ : state) {
    PlainString *p = new PlainString;
    p->text[0] = '\0';
    benchmark::DoNotOptimize(p);
    delete p;
  }
}
BENCHMARK(BM_GlobalNewDeleteOne);

// A 200-byte line of 25 comma-separated fields.
std::string line200() {
  std::string line;
  for (int i = 0; line.size() < 200; ++i) {
    if (!line.empty())
      line += ',';
    line += textOf(7);
  }
  return line.substr(0, 200);
}

void BM_ParseAndFlatten200(benchmark::State &state) {
  CString256 line(line200().c_str());
  CList<CString256> fields;
  CString256 joined;
  for (auto _ : state) {
    line.parse_into_list(",", fields);
    joined.flatten_list(';', fields);
    benchmark::DoNotOptimize(joined.text);
  }
  state.counters["fields"] = fields.count;
}
BENCHMARK(BM_ParseAndFlatten200);

// Each matcher on subject and pattern of the same length; the pattern
// differs from the subject in its last byte, so exact and partial tests scan
// to the end.  The wildcard pieces are the pattern split in four.
template <CString256Matcher Matcher> void BM_Matcher(benchmark::State &state) {
  std::size_t n = static_cast<std::size_t>(state.range(0));
  CString256 subject(textOf(n).c_str());
  std::string pattern = textOf(n);
  pattern.back() = 'A';
  float score = 0;
  for (auto _ : state) {
    subject.match(Matcher, pattern.data(), &score);
    benchmark::DoNotOptimize(score);
  }
}
BENCHMARK_TEMPLATE(BM_Matcher, matcher_case_exact_256)->Arg(16)->Arg(255);
BENCHMARK_TEMPLATE(BM_Matcher, matcher_nocase_exact_256)->Arg(16)->Arg(255);
BENCHMARK_TEMPLATE(BM_Matcher, matcher_case_partial_256)->Arg(16)->Arg(255);
BENCHMARK_TEMPLATE(BM_Matcher, matcher_nocase_partial_256)->Arg(16)->Arg(255);
BENCHMARK_TEMPLATE(BM_Matcher, matcher_case_approximate_256)->Arg(16)->Arg(255);
BENCHMARK_TEMPLATE(BM_Matcher, matcher_nocase_approximate_256)->Arg(16)->Arg(255);

template <CString256Matcher Matcher> void BM_WildcardMatcher(benchmark::State &state) {
  std::size_t n = static_cast<std::size_t>(state.range(0));
  std::string subject = textOf(n);
  CList<CString256> pieces;
  for (std::size_t i = 0; i < 4; ++i)
    pieces.append(CString256(subject.substr(i * n / 4, n / 4 - 1).c_str()));
  float score = 0;
  for (auto _ : state) {
    Matcher(subject.data(), &pieces, &score);
    benchmark::DoNotOptimize(score);
  }
}
BENCHMARK_TEMPLATE(BM_WildcardMatcher, match_wildcard_case_256)->Arg(16)->Arg(255);
BENCHMARK_TEMPLATE(BM_WildcardMatcher, match_wildcard_nocase_256)->Arg(16)->Arg(255);

} // namespace

BENCHMARK_MAIN();
