// qmfiles run as a user runs it, on real folders: what each command prints,
// what it changes, its statuses and exit codes, and its progress line.
#include "tests/platform/filemanager/FileManagerTestSupport.h"

#include <sys/xattr.h>

using namespace fmtest;

namespace {

struct Result {
  int status;
  std::string out, err;
};

std::string quote(const std::string &s) {
  std::string out = "'";
  for (char c : s)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class Qmfiles : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  // Runs qmfiles with `args`; standard output and error go to files, so
  // neither is a terminal.
  Result run(const std::vector<std::string> &args) {
    std::string command = quote(QMFILES);
    for (const std::string &a : args)
      command += " " + quote(a);
    std::string out = scratch_.path() + "/out", err = scratch_.path() + "/err";
    int status = std::system((command + " >" + out + " 2>" + err).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
  }

  // JSON parses (python's json module is the outside reader).
  static bool validJSON(const std::string &text) {
    std::string file = "/tmp/qmfiles-json-" + std::to_string(getpid());
    writeFile(file, text);
    bool ok = std::system(("python3 -c 'import json,sys; [json.loads(l) for l in "
                           "open(sys.argv[1]).read().splitlines() if l.strip()] if "
                           "sys.argv[2] == \"lines\" else json.load(open(sys.argv[1]))' " +
                           file + " " + (text.rfind("[", 0) == 0 ? "whole" : "lines"))
                              .c_str()) == 0;
    ::unlink(file.c_str());
    return ok;
  }

  std::string path(const std::string &name) const { return dir_ / name; }
  void mkdir(const std::string &name) { ASSERT_EQ(::mkdir(path(name).c_str(), 0755), 0); }

  TempDir dir_, scratch_;
};

std::string inode(const std::string &path) { return shell("stat -c %i " + quote(path)); }

TEST_F(Qmfiles, InfoListsAndWalks) {
  mkdir("sub");
  mkdir("sub/deeper");
  writeFile(path("a.txt"), "hello");
  writeFile(path("sub/b"), "");
  writeFile(path("sub/deeper/c"), "");

  Result info = run({"info", path("a.txt")});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("path       " + path("a.txt") + "\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("name       a.txt\n"), std::string::npos);
  EXPECT_NE(info.out.find("HFS name   a.txt (61 2E 74 78 74)\n"), std::string::npos);
  EXPECT_NE(info.out.find("node ID    " + inode(path("a.txt")) + "\n"), std::string::npos);
  EXPECT_NE(info.out.find("directory  no\n"), std::string::npos);
  EXPECT_NE(info.out.find("parent     " + dir_.path() + "\n"), std::string::npos);
  EXPECT_EQ(info.out.find("file ID"), std::string::npos) << "an ID is made only when asked for";
  EXPECT_NE(::getxattr(path("a.txt").c_str(), "user.quillmate.fileid", nullptr, 0), 0);

  Result withID = run({"info", "--id", "--json", path("a.txt")});
  ASSERT_EQ(withID.status, 0) << withID.err;
  EXPECT_TRUE(validJSON(withID.out)) << withID.out;
  EXPECT_NE(withID.out.find("\"fileID\": " + inode(path("a.txt"))), std::string::npos);
  EXPECT_NE(withID.out.find("\"directory\": false"), std::string::npos);

  Result ls = run({"ls", dir_.path()});
  ASSERT_EQ(ls.status, 0) << ls.err;
  EXPECT_NE(ls.out.find("-"), std::string::npos);
  EXPECT_NE(ls.out.find(" 5  a.txt\n"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("  sub\n"), std::string::npos) << ls.out;
  EXPECT_LT(ls.out.find("a.txt"), ls.out.find("sub"));
  Result lsJSON = run({"ls", "--json", dir_.path()});
  EXPECT_TRUE(validJSON(lsJSON.out)) << lsJSON.out;

  Result all = run({"walk", dir_.path()});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_NE(all.out.find("  1 " ), std::string::npos);
  for (const char *item : {"a.txt\n", "sub/\n", "sub/b\n", "sub/deeper/\n", "sub/deeper/c\n"})
    EXPECT_NE(all.out.find(dir_.path() + "/" + item), std::string::npos) << item << all.out;
  EXPECT_NE(all.out.find("  3 " + std::string(10 - inode(path("sub/deeper/c")).size(), ' ') +
                         inode(path("sub/deeper/c")) + "  " + path("sub/deeper/c") + "\n"),
            std::string::npos)
      << all.out;
  Result top = run({"walk", "--depth", "1", dir_.path()});
  EXPECT_EQ(std::count(top.out.begin(), top.out.end(), '\n'), 2) << top.out;
  Result json = run({"walk", "--json", "--depth", "2", dir_.path()});
  EXPECT_TRUE(validJSON(json.out)) << json.out;
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 4) << json.out;
  EXPECT_TRUE(all.err.empty()) << "no progress line when the output is not a terminal";
}

TEST_F(Qmfiles, RemovesFoldersOrTheirContents) {
  mkdir("tree");
  mkdir("tree/inner");
  writeFile(path("tree/inner/f"), "x");
  writeFile(path("tree/g"), "y");
  ASSERT_EQ(run({"lock", path("tree/g")}).status, 0);

  Result contents = run({"rm", "--contents", path("tree")});
  ASSERT_EQ(contents.status, 0) << contents.err;
  EXPECT_TRUE(exists(path("tree")));
  EXPECT_EQ(shell("ls -A " + quote(path("tree"))), "");

  mkdir("tree/again");
  Result whole = run({"rm", path("tree")});
  ASSERT_EQ(whole.status, 0) << whole.err;
  EXPECT_FALSE(exists(path("tree")));

  writeFile(path("file"), "z");
  Result notFolder = run({"rm", path("file")});
  EXPECT_EQ(notFolder.status, 1);
  EXPECT_EQ(notFolder.err, "qmfiles: FSDeleteContainer: dirNFErr (-120)\n");
  EXPECT_TRUE(exists(path("file")));
}

TEST_F(Qmfiles, FailuresAndBadCommandLines) {
  Result missing = run({"info", path("missing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "qmfiles: " + path("missing") + ": fnfErr (-43)\n");
  EXPECT_TRUE(missing.out.empty());

  for (const std::vector<std::string> &args :
       std::vector<std::vector<std::string>>{{},
                                             {"frobnicate"},
                                             {"info"},
                                             {"walk", "--depth", "x", "/tmp"},
                                             {"walk", "--depth"},
                                             {"ls", "--bogus", "/tmp"},
                                             {"cp", "--buffer", "0", "--fork", "/a", "/b"},
                                             {"cp", "--from", "rsrc", "/a", "/b"},
                                             {"finder", "--set", "sparkly", "/tmp"},
                                             {"finder", "--creator", "TOOLONG", "/tmp"}}) {
    Result r = run(args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(r.err.find("usage: qmfiles"), std::string::npos) << r.err;
  }
  EXPECT_EQ(run({"--help"}).status, 0);
}

TEST_F(Qmfiles, CopiesMovesAndExchanges) {
  mkdir("to");
  writeFile(path("one"), "first");
  writeFile(path("two"), "second");

  Result copy = run({"cp", path("one"), path("to")});
  ASSERT_EQ(copy.status, 0) << copy.err;
  EXPECT_EQ(copy.out, path("to/one") + "\n");
  EXPECT_EQ(readFile(path("to/one")), "first");
  Result renamed = run({"cp", "--name", "café", path("one"), path("to")});
  ASSERT_EQ(renamed.status, 0) << renamed.err;
  EXPECT_EQ(readFile(path("to/café")), "first");
  Result clash = run({"cp", path("one"), path("to")});
  EXPECT_EQ(clash.status, 1);
  EXPECT_EQ(clash.err, "qmfiles: FSCopyFile: dupFNErr (-48)\n");

  // One fork into another: the data fork into a new file's resource fork.
  Result fork = run({"cp", "--fork", "--to", "rsrc", "--buffer", "3", path("two"), path("new")});
  ASSERT_EQ(fork.status, 0) << fork.err;
  Result sizes = run({"sizes", path("new")});
  ASSERT_EQ(sizes.status, 0) << sizes.err;
  EXPECT_NE(sizes.out.find("data fork       0\n"), std::string::npos) << sizes.out;
  EXPECT_NE(sizes.out.find("resource fork   6\n"), std::string::npos) << sizes.out;
  EXPECT_NE(sizes.out.find("forks           2\n"), std::string::npos) << sizes.out;
  EXPECT_TRUE(validJSON(run({"sizes", "--json", path("new")}).out));

  Result moved = run({"mv", "--name", "renamed", path("two"), path("to")});
  ASSERT_EQ(moved.status, 0) << moved.err;
  EXPECT_EQ(moved.out, path("to/renamed") + "\n");
  EXPECT_FALSE(exists(path("two")));
  Result server = run({"mv", "--server", path("to/renamed"), dir_.path()});
  ASSERT_EQ(server.status, 0) << server.err;
  EXPECT_EQ(server.out, path("renamed") + "\n");
  EXPECT_EQ(readFile(path("renamed")), "second");

  Result swapped = run({"exchange", path("one"), path("renamed")});
  ASSERT_EQ(swapped.status, 0) << swapped.err;
  EXPECT_EQ(swapped.out, "exchanged by the file system (FSExchangeObjects)\n");
  EXPECT_EQ(readFile(path("one")), "second");
  EXPECT_EQ(readFile(path("renamed")), "first");
}

TEST_F(Qmfiles, FinderInformationFlagsAndLocks) {
  writeFile(path("doc"), "");
  Result set = run({"finder", "--creator", "QMTE", "--type", "TEXT", "--set",
                    "invisible,stationery", path("doc")});
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "creator  'QMTE'\ntype     'TEXT'\nflags    0x4800 invisible, stationery\n"
                     "locked   no\n");
  Result cleared = run({"finder", "--clear", "invisible", "--set", "custom-icon", path("doc")});
  ASSERT_EQ(cleared.status, 0) << cleared.err;
  EXPECT_NE(cleared.out.find("flags    0x0C00 stationery, custom-icon\n"), std::string::npos)
      << cleared.out;

  ASSERT_EQ(run({"lock", path("doc")}).status, 0);
  Result json = run({"finder", "--json", path("doc")});
  EXPECT_TRUE(validJSON(json.out)) << json.out;
  EXPECT_NE(json.out.find("\"locked\": \"yes\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"creator\": \"QMTE\""), std::string::npos) << json.out;
  Result refused = run({"finder", "--type", "ABCD", path("doc")});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "qmfiles: FSChangeCreatorType: fLckdErr (-45)\n");
  ASSERT_EQ(run({"unlock", path("doc")}).status, 0);
  EXPECT_NE(run({"finder", path("doc")}).out.find("locked   no\n"), std::string::npos);

  mkdir("folder");
  Result folder = run({"finder", "--set", "invisible", path("folder")});
  ASSERT_EQ(folder.status, 0) << folder.err;
  EXPECT_EQ(folder.out, "flags    0x4000 invisible\nlocked   no\n");
}

TEST_F(Qmfiles, VolumesAndMountRecords) {
  Result table = run({"volumes"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out.rfind("volume  name", 0), 0u) << table.out;
  EXPECT_NE(table.out.find("  /dev/shm\n"), std::string::npos) << table.out;
  Result json = run({"volumes", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_TRUE(validJSON(json.out)) << json.out;
  EXPECT_NE(json.out.find("\"mountPoint\": \"/dev/shm\""), std::string::npos) << json.out;

  Result size = run({"mount-record-size", "/dev/shm"});
  ASSERT_EQ(size.status, 0) << size.err;
  EXPECT_GT(std::atoi(size.out.c_str()), 16) << size.out;
  EXPECT_TRUE(validJSON(run({"mount-record-size", "--json", "/dev/shm"}).out));
}

TEST_F(Qmfiles, ShowsProgressOnlyOnATerminal) {
  mkdir("many");
  for (int i = 0; i < 50; ++i)
    writeFile(path("many/f" + std::to_string(i)), "");
  // `script` gives the command a terminal; output still goes to a file.
  std::string log = scratch_.path() + "/typescript";
  std::string command = "QMFILES_PROGRESS_INTERVAL_MS=0 script -qec " +
                        quote(quote(QMFILES) + " walk " + quote(path("many")) + " >/dev/null") +
                        " " + log + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string typed = readFile(log);
  EXPECT_NE(typed.find("50 items, "), std::string::npos) << typed;
  EXPECT_NE(typed.find(" items/s"), std::string::npos) << typed;

  // Without a terminal: nothing on standard error.
  ::setenv("QMFILES_PROGRESS_INTERVAL_MS", "0", 1);
  Result quiet = run({"rm", path("many")});
  ::unsetenv("QMFILES_PROGRESS_INTERVAL_MS");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_TRUE(quiet.err.empty()) << quiet.err;
}

} // namespace
