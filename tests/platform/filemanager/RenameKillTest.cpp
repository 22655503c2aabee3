// Moves under a new name killed part-way never lose the object's name: the
// file utility library's FSMoveRenameObjectUnicode passes the object through
// a temporary name (eight hex digits), and after a kill (SIGKILL) at a random
// moment of a loop of such moves between two folders, or before each system
// call of one, a fresh process that lists both folders through the layer
// finds the file under its old name in its old folder or its new name in its
// new one, data and resource fork whole, and nothing under a temporary name.
// The states the kills left are counted and shown, with the kills that left
// the file under a temporary name for a listing to settle.
//
// Beside them: a name of eight hex digits given on purpose stays after the
// process that gave it ends, and a rename under way in a live process is
// left alone by a listing in another one.


#include "FileManagerTestSupport.h"
#include "KillSupport.h"

#include <FileUtilities.h>

#include <atomic>
#include <map>
#include <set>
#include <sys/mman.h>

namespace fm = quillmate::fm;
using namespace fmtest;

namespace {

const char *const kFolders[2] = {"one", "two"};

std::string docName(long round) { return "doc" + std::to_string(round); }

bool looksTemporary(const std::string &name) {
  return name.size() == 8 && name.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
}

/// The names in `folder`, as round `round` sees them: "old" and "new" for
/// the file's two names, "TEMP" for a temporary one, "._" before a `._`
/// file's.
std::string rawNames(const std::string &folder, long round) {
  std::set<std::string> names;
  for (std::string n : entriesOf(folder)) {
    std::string prefix;
    if (n.compare(0, 2, "._") == 0) {
      prefix = "._";
      n = n.substr(2);
    }
    names.insert(prefix + (n == docName(round)       ? "old"
                           : n == docName(round + 1) ? "new"
                           : looksTemporary(n)       ? "TEMP"
                                                     : n));
  }
  std::string out;
  for (const std::string &n : names)
    out += " " + n;
  return out.empty() ? " -" : out;
}

/// Round `round` moves the file from kFolders[round % 2], named
/// docName(round), into the other folder as docName(round + 1).
std::string rawState(const std::string &dir, long round) {
  return " from:" + rawNames(dir + "/" + kFolders[round % 2], round) +
         " | to:" + rawNames(dir + "/" + kFolders[(round + 1) % 2], round);
}

/// In a fresh process: both folders listed through the layer (once to meet
/// what a kill left, and again to read what is there), the file under
/// exactly one of its two names, with its data and fork.  The exit code
/// counts what is wrong.
int checkFile(const std::string &dir, long round, bool withFork) {
  for (const char *folder : kFolders)
    listThroughTheLayer(dir + "/" + folder);
  int wrong = 0, found = 0;
  for (int side = 0; side < 2; ++side) {
    const std::string folder = dir + "/" + kFolders[(round + side) % 2];
    const std::string expected = docName(round + side);
    quillmate::fm::sys::Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY));
    for (const std::string &name : listThroughTheLayer(folder)) {
      if (name != expected) {
        ++wrong; // a temporary name, or the other name in the wrong folder
        continue;
      }
      ++found;
      if (readFile(folder + "/" + name) != "D")
        ++wrong;
      if (forkOf(fd.get(), name.c_str()) != (withFork ? "fork D" : "<none>"))
        ++wrong;
    }
  }
  return wrong + (found == 1 ? 0 : 10);
}

/// The child's side: references to the folders and the file, and the round
/// it is in, in memory the parent reads after the kill.
struct Mover {
  std::string dir;
  std::atomic<long> *round; // shared with the parent
  FSRef folders[2]{}, file{};

  bool prepare() {
    const long r = round->load();
    return refFor(dir + "/" + kFolders[0], folders[0]) == noErr &&
           refFor(dir + "/" + kFolders[1], folders[1]) == noErr &&
           refFor(dir + "/" + kFolders[r % 2] + "/" + docName(r), file) == noErr;
  }

  /// One round: the file into the other folder under the next name.
  OSErr once() {
    const long r = round->load();
    const std::u16string name = u16(docName(r + 1).c_str());
    if (OSErr err = FSMoveRenameObjectUnicode(&file, &folders[(r + 1) % 2], name.size(),
                                              units(name), kTextEncodingUnknown, &file))
      return err;
    round->store(r + 1);
    return noErr;
  }
};

class RenameKills : public ::testing::TestWithParam<std::tuple<std::string, bool>> {
protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    if (!keepsUserAttributes(dir_.path()))
      GTEST_SKIP() << "no extended attributes here";
    void *shared = ::mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    round_ = new (shared) std::atomic<long>(0);
    mover_.round = round_;
  }
  void TearDown() override {
    if (round_)
      ::munmap(round_, sizeof *round_);
  }

  /// As each kill starts: the file doc0 in the first folder, with its fork
  /// when the case asks for one; the second folder empty.
  void makeFile() {
    ASSERT_EQ(std::system(("rm -rf '" + dir_.path() + "'/*").c_str()), 0);
    for (const char *folder : kFolders)
      ASSERT_EQ(::mkdir((dir_ / folder).c_str(), 0755), 0);
    round_->store(0);
    writeFile(dir_ / "one/doc0", "D");
    if (std::get<1>(GetParam())) {
      quillmate::fm::sys::Fd fd(::open((dir_ / "one").c_str(), O_RDONLY | O_DIRECTORY));
      ASSERT_TRUE(giveFork(fd.get(), "doc0", "fork D"));
    }
  }

  /// After a kill: the state it left, counted, and the check in a fresh
  /// process.
  void check(int kill) {
    const long round = round_->load();
    const std::string state = rawState(dir_.path(), round);
    ++kills_;
    ++states_[state];
    settles_ += (state + " ").find(" TEMP ") != std::string::npos; // the file itself, not a `._`
    if (const int wrong =
            inChild([&] { return checkFile(dir_.path(), round, std::get<1>(GetParam())); })) {
      ++lost_;
      failures_ += " " + std::to_string(kill) + ":" + std::to_string(wrong) + " (round " +
                   std::to_string(round) + state + " → " + rawState(dir_.path(), round) + ")";
    }
  }

  void report(const char *how) {
    std::string states;
    for (const auto &[state, count] : states_)
      states += "\n  " + std::to_string(count) + " ×" + state;
    RecordProperty("kills", kills_);
    RecordProperty("settles", settles_);
    std::printf("%s, %s fork, on %s: %d kills, %d left a temporary name, %d lost the name, "
                "%zu states:%s\n",
                how, std::get<1>(GetParam()) ? "with" : "without", std::get<0>(GetParam()).c_str(),
                kills_, settles_, lost_, states_.size(), states.c_str());
    EXPECT_EQ(lost_, 0) << lost_ << " of " << kills_
                        << " kills left the file under no name of its own "
                           "(kill:wrong (round state → after))"
                        << failures_;
  }

  TempDir dir_{std::get<0>(GetParam())};
  std::atomic<long> *round_ = nullptr;
  Mover mover_{dir_.path(), nullptr};
  int kills_ = 0, lost_ = 0, settles_ = 0;
  std::map<std::string, int> states_;
  std::string failures_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, RenameKills,
                         ::testing::Combine(::testing::ValuesIn(bases()), ::testing::Bool()),
                         [](const auto &info) {
                           return std::string(std::get<1>(info.param) ? "WithFork" : "NoFork") +
                                  (std::get<0>(info.param) == "/tmp" ? "_ext4" : "_tmpfs");
                         });

} // namespace

// A child moves the file back and forth in a loop and is killed at a random
// moment; the delays come from a fixed seed and spread over a few rounds.
TEST_P(RenameKills, AtRandomMoments) {
  ASSERT_NO_FATAL_FAILURE(killAtRandomMoments(
      40, 20261209, 6000, [&] { makeFile(); }, [&] { return mover_.prepare(); },
      [&] { return mover_.once() == noErr; }, [&](int kill) { check(kill); }));
  report("At random moments");
}

// The same, deterministically: one round killed before its first system
// call, then before its second, and so on to its end.
TEST_P(RenameKills, BeforeEachSystemCall) {
  if (!mayTrace())
    GTEST_SKIP() << "ptrace is not permitted here";
  const int calls = killBeforeEachCall([&] { makeFile(); }, [&] { return mover_.prepare(); },
                                       [&] { return mover_.once() == noErr; },
                                       [&](int n) { check(n); });
  ASSERT_FALSE(HasFatalFailure());
  report("Before each system call");
  EXPECT_GT(calls, 5);
}
