// Operations killed part-way never part an object from its `._` file: after
// a kill (SIGKILL) at a random moment of a loop of renames, moves,
// exchanges, copies or deletions, or before each system call of one, a fresh
// process that lists the folders finds every file with its own resource fork
// (or, for a file being made, none), and a `._` file left beside no object is
// never a new object's.  The states the kills left are counted and shown.
#include "platform/filemanager/Sidecar.h"

#include "FileManagerTestSupport.h"
#include "KillSupport.h"

#include <dirent.h>
#include <map>
#include <set>
#include <sys/xattr.h>

namespace sidecar = quillmate::fm::sidecar;
namespace sys = quillmate::fm::sys;
using namespace fmtest;

namespace {

enum class Op { Rename, Move, Exchange, Copy, Delete };

const char *nameOf(Op op) {
  switch (op) {
  case Op::Rename: return "Rename";
  case Op::Move: return "Move";
  case Op::Exchange: return "Exchange";
  case Op::Copy: return "Copy";
  case Op::Delete: return "Delete";
  }
  return "?";
}

/// The names in `dir`, sorted, space-separated ("| sub:" before the names
/// in the subfolder; hidden temporary names as one), and what `a` holds.
std::string rawState(const std::string &dir) {
  std::string out = " [a holds " + readFile(dir + "/a") + "]";
  for (const std::string &folder : {dir, dir + "/sub"}) {
    std::set<std::string> names;
    if (DIR *d = ::opendir(folder.c_str())) {
      while (dirent *e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..") &&
            std::strcmp(e->d_name, "sub"))
          names.insert(e->d_name[0] == '.' && e->d_name[1] == 'q' ? ".quillmate-*" : e->d_name);
      ::closedir(d);
    }
    if (folder != dir)
      out += "| sub:";
    for (const std::string &n : names)
      out += " " + n;
  }
  return out;
}

/// In a fresh process: every file listed has its own fork ("fork " and its
/// data), or none for the file the deletion case makes; a `._` file beside
/// no object is no new object's.  The exit code counts what is wrong.
int checkForks(const std::string &dir) {
  int wrong = 0;
  for (const std::string &folder : {dir, dir + "/sub"}) {
    sys::Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY));
    for (const std::string &name : listThroughTheLayer(folder)) {
      struct statx stx = statxOf(fd.get(), name.c_str());
      if (!S_ISREG(stx.stx_mode))
        continue;
      if (sidecar::isReserved(name)) {
        // Left by a kill: never the fork of a new object of the name.
        FSRef parent, made;
        const std::string object = name.substr(2);
        if (refFor(folder, parent) != noErr || createFile(parent, object.c_str(), &made) != noErr)
          ++wrong;
        else if (forkOf(fd.get(), object.c_str()) != "<not its own>")
          ++wrong;
        else if (FSDeleteObject(&made) != noErr)
          ++wrong;
        continue;
      }
      const std::string data = readFile(folder + "/" + name);
      const std::string fork = forkOf(fd.get(), name.c_str());
      if (fork != "fork " + data && !(name == "d" && fork == "<none>")) // "d" is made in steps
        ++wrong;
    }
  }
  return wrong;
}

/// Refs and calls of one operation, made in the child that runs it.
struct Runner {
  std::string dir;
  Op op;
  FSRef root{}, sub{}, a{}, b{};
  FSSpec spec{};

  bool prepare() {
    if (refFor(dir, root) != noErr || refFor(dir + "/sub", sub) != noErr ||
        refFor(dir + "/a", a) != noErr || refFor(dir + "/b", b) != noErr)
      return false;
    return FSGetCatalogInfo(&a, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr) == noErr;
  }

  /// One round of the operation: noErr when each call worked.
  OSErr once() {
    switch (op) {
    case Op::Rename: {
      const std::u16string c = u16("c"), back = u16("a");
      if (OSErr err = FSRenameUnicode(&a, c.size(), units(c), kTextEncodingUnknown, &a))
        return err;
      return FSRenameUnicode(&a, back.size(), units(back), kTextEncodingUnknown, &a);
    }
    case Op::Move:
      if (OSErr err = FSMoveObject(&a, &sub, &a))
        return err;
      return FSMoveObject(&a, &root, &a);
    case Op::Exchange:
      return FSExchangeObjects(&a, &b);
    case Op::Copy: {
      PascalName copy("copy");
      HParamBlockRec pb = copyBlock(spec, root, copy.bytes);
      if (OSErr err = PBHCopyFileSync(&pb))
        return err;
      FSRef made;
      if (OSErr err = child(root, "copy", made))
        return err;
      return FSDeleteObject(&made);
    }
    case Op::Delete: {
      // A file made with its fork (empty until then), and deleted.
      FSRef made;
      if (OSErr err = createFile(root, "d", &made))
        return err;
      sys::Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY));
      writeFile(dir + "/d", "D");
      if (!giveFork(fd.get(), "d", "fork D"))
        return ioErr;
      return FSDeleteObject(&made);
    }
    }
    return paramErr;
  }
};

class SidecarKills : public ::testing::TestWithParam<std::tuple<std::string, Op>> {
protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    if (!keepsUserAttributes(dir_.path()))
      GTEST_SKIP() << "no extended attributes here";
  }

  /// The files as each round starts: a and b with their forks, an empty
  /// folder sub.
  void makeFiles() {
    ASSERT_EQ(std::system(("rm -rf '" + dir_.path() + "'/* '" + dir_.path() + "'/.[!.]*").c_str()),
              0);
    ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
    sys::Fd fd(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY));
    for (const char *name : {"a", "b"}) {
      writeFile(dir_ / name, name[0] == 'a' ? "A" : "B");
      ASSERT_TRUE(giveFork(fd.get(), name, name[0] == 'a' ? "fork A" : "fork B"));
    }
  }

  /// After a kill: the state it left, counted, and the check in a fresh
  /// process.
  void check(int kill) {
    ++kills_;
    ++states_[rawState(dir_.path())];
    if (const int wrong = inChild([&] { return checkForks(dir_.path()); })) {
      ++lost_;
      failures_ += " " + std::to_string(kill) + ":" + std::to_string(wrong) + " (" +
                   rawState(dir_.path()) + ")";
    }
  }

  void report() {
    std::string states;
    for (const auto &[state, count] : states_)
      states += "\n  " + std::to_string(count) + " ×" + state;
    RecordProperty("kills", kills_);
    RecordProperty("states", int(states_.size()));
    std::printf("%s on %s: %d kills, %zu states:%s\n", nameOf(std::get<1>(GetParam())),
                std::get<0>(GetParam()).c_str(), kills_, states_.size(), states.c_str());
    EXPECT_EQ(lost_, 0) << lost_ << " of " << kills_
                        << " kills left a file without its own fork (kill:wrong (state))"
                        << failures_;
  }

  TempDir dir_{std::get<0>(GetParam())};
  Runner runner_{dir_.path(), std::get<1>(GetParam())};
  int kills_ = 0, lost_ = 0;
  std::map<std::string, int> states_;
  std::string failures_;
};

INSTANTIATE_TEST_SUITE_P(
    FileSystems, SidecarKills,
    ::testing::Combine(::testing::ValuesIn(bases()),
                       ::testing::Values(Op::Rename, Op::Move, Op::Exchange, Op::Copy, Op::Delete)),
    [](const auto &info) {
      return std::string(nameOf(std::get<1>(info.param))) +
             (std::get<0>(info.param) == "/tmp" ? "_ext4" : "_tmpfs");
    });

} // namespace

// A child runs the operation in a loop and is killed at a random moment;
// the delays come from a fixed seed and spread over a few rounds.
TEST_P(SidecarKills, AtRandomMoments) {
  ASSERT_NO_FATAL_FAILURE(killAtRandomMoments(
      40, 20261211, 4000, [&] { makeFiles(); }, [&] { return runner_.prepare(); },
      [&] { return runner_.once() == noErr; }, [&](int kill) { check(kill); }));
  report();
}

// The same, deterministically: one round killed before its first system
// call, then before its second, and so on to its end.
TEST_P(SidecarKills, BeforeEachSystemCall) {
  if (!mayTrace())
    GTEST_SKIP() << "ptrace is not permitted here";
  const int calls = killBeforeEachCall([&] { makeFiles(); }, [&] { return runner_.prepare(); },
                                       [&] { return runner_.once() == noErr; },
                                       [&](int n) { check(n); });
  ASSERT_FALSE(HasFatalFailure());
  report();
  EXPECT_GT(calls, 3);
}
