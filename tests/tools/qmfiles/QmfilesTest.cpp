// qmfiles run as a user runs it, on real folders: what each command prints,
// what it changes, its statuses and exit codes, and its progress line.
#include "tests/platform/filemanager/FileManagerTestSupport.h"
#include "tests/platform/filemanager/PeerSupport.h"

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
  // neither is a terminal.  `output`, when given, redirects standard output
  // elsewhere (">/dev/full", ">&-").
  Result run(const std::vector<std::string> &args, const std::string &output = "") {
    std::string command = quote(QMFILES);
    for (const std::string &a : args)
      command += " " + quote(a);
    std::string out = scratch_.path() + "/out", err = scratch_.path() + "/err";
    ::unlink(out.c_str());
    command += output.empty() ? " >" + out : " " + output;
    int status = std::system((command + " 2>" + err).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
  }

  // Runs python3 with `script`; its standard output, or "python failed".
  std::string python(const std::string &script, const std::vector<std::string> &args) {
    std::string file = scratch_.path() + "/check.py";
    writeFile(file, script);
    std::string command = "python3 " + quote(file);
    for (const std::string &a : args)
      command += " " + quote(a);
    return shell(command + " 2>&1 || echo python failed");
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

TEST_F(Qmfiles, OutputThatCannotBeWrittenFails) {
  writeFile(path("file"), "x");
  for (const char *sink : {">/dev/full", ">&-"}) {
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"ls", dir_.path()},
                                               {"walk", "--json", dir_.path()},
                                               {"info", path("file")},
                                               {"volumes", "--json"},
                                               {"--help"}}) {
      Result r = run(args, sink);
      EXPECT_EQ(r.status, 1) << args[0] << " " << sink;
      EXPECT_EQ(r.err.rfind("qmfiles: cannot write the output: ", 0), 0u)
          << args[0] << " " << sink << ": " << r.err;
    }
  }
  // Standard output closed and nothing to print: nothing is lost.
  Result quiet = run({"lock", path("file")}, ">&-");
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(run({"unlock", path("file")}).status, 0);

  // A long walk into a full output stops at the first failed write.
  mkdir("many");
  for (int i = 0; i < 2000; ++i)
    writeFile(path("many/a-long-name-that-fills-the-output-buffer-quickly-" + std::to_string(i)),
              "");
  Result walk = run({"walk", path("many")}, ">/dev/full");
  EXPECT_EQ(walk.status, 1);
  EXPECT_EQ(walk.err, "qmfiles: cannot write the output: No space left on device\n");
}

// Names of every kind: not UTF-8, a newline, an escape sequence, a ':' on
// disk (a '/' to the File Manager), a quote and a space.
const char *const kAwkwardNames[] = {"bad\xff\xfename", "nl\nname", "esc\033[31mred",
                                     "co:lon",           "it's",     "a b"};

TEST_F(Qmfiles, NamesPrintedKeepEveryByte) {
  mkdir("names");
  for (const char *name : kAwkwardNames)
    writeFile(path("names/") + name, "");
  const std::string folder = path("names");

  // JSON: strict UTF-8 and strict JSON; "path" read with surrogateescape and
  // "pathBytes" read as latin-1 are the bytes on disk.
  const std::string check = R"(
import json, os, sys
text = open(sys.argv[1], 'rb').read().decode('utf-8')
docs = json.loads(text) if sys.argv[2] == 'array' else [json.loads(l) for l in text.splitlines()]
docs = [d for d in docs if 'depth' not in d or d['depth'] == 1]
on_disk = sorted(os.path.join(os.fsencode(sys.argv[3]), n) for n in os.listdir(os.fsencode(sys.argv[3])))
print(sorted(d['pathBytes'].encode('latin-1') for d in docs) == on_disk,
      sorted(d['path'].encode('utf-8', 'surrogateescape') for d in docs) == on_disk,
      sorted(d['name'] for d in docs if 'name' in d))
)";
  const std::string file = scratch_.path() + "/json";
  Result ls = run({"ls", "--json", folder});
  ASSERT_EQ(ls.status, 0) << ls.err;
  writeFile(file, ls.out);
  EXPECT_EQ(python(check, {file, "array", folder}),
            "True True ['a b', 'bad\\udcff\\udcfename', 'co/lon', 'esc\\x1b[31mred', \"it's\", "
            "'nl\\nname']")
      << ls.out;
  Result walk = run({"walk", "--json", folder});
  ASSERT_EQ(walk.status, 0) << walk.err;
  writeFile(file, walk.out);
  EXPECT_EQ(python(check, {file, "lines", folder}), "True True []") << walk.out;
  for (const char *name : kAwkwardNames) {
    Result info = run({"info", "--json", path("names/") + name});
    ASSERT_EQ(info.status, 0) << info.err;
    writeFile(file, info.out);
    EXPECT_EQ(python("import json, os, sys\n"
                     "d = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'))\n"
                     "print(d['pathBytes'].encode('latin-1') == os.fsencode(sys.argv[2]))",
                     {file, path("names/") + name}),
              "True")
        << info.out;
  }

  // The table: one line an item, shell words that give the bytes back.
  Result table = run({"ls", folder});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 6) << table.out;
  EXPECT_EQ(table.out.find('\033'), std::string::npos) << table.out;
  for (const char *word : {"  'bad'$'\\377\\376''name'\n", "  'nl'$'\\n''name'\n",
                           "  'esc'$'\\033''[31mred'\n", "  co:lon\n", "  'it'\\''s'\n",
                           "  'a b'\n"})
    EXPECT_NE(table.out.find(word), std::string::npos) << word << "\n" << table.out;
  // Each path of the walk, read by bash, names an item that exists.
  Result paths = run({"walk", folder});
  ASSERT_EQ(paths.status, 0) << paths.err;
  writeFile(file, paths.out);
  writeFile(scratch_.path() + "/check.sh", "while IFS= read -r line; do\n"
                                           "  eval \"set -- ${line:16}\"; test -e \"$1\" && echo found\n"
                                           "done <\"$1\"\n");
  EXPECT_EQ(shell("bash " + quote(scratch_.path() + "/check.sh") + " " + quote(file) +
                  " 2>&1 | uniq -c | tr -s ' '"),
            " 6 found")
      << paths.out;
}

// The `._` file beside a file is part of it: listings and walks show the
// file alone, and removing the folder takes both; one beside nothing is a
// file like any other.
TEST_F(Qmfiles, ShowsNoFileBesideItsObject) {
  mkdir("tree");
  writeFile(path("tree/a.txt"), "hello");
  writeFile(path("tree/._a.txt"), "its resource fork");
  writeFile(path("tree/._lone"), "an orphan");
  Result ls = run({"ls", path("tree")});
  ASSERT_EQ(ls.status, 0) << ls.err;
  EXPECT_NE(ls.out.find("  a.txt\n"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("  ._lone\n"), std::string::npos) << ls.out;
  EXPECT_EQ(ls.out.find("._a.txt"), std::string::npos) << ls.out;
  Result walk = run({"walk", dir_.path()});
  ASSERT_EQ(walk.status, 0) << walk.err;
  EXPECT_EQ(std::count(walk.out.begin(), walk.out.end(), '\n'), 3) << walk.out;
  EXPECT_EQ(walk.out.find("._a.txt"), std::string::npos) << walk.out;
  Result info = run({"info", path("tree/._a.txt")});
  EXPECT_EQ(info.status, 1);
  Result rm = run({"rm", path("tree")});
  ASSERT_EQ(rm.status, 0) << rm.err;
  EXPECT_FALSE(exists(path("tree")));
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

// Resource forks of any size copy in and out at the speed of a data fork's
// copy: one of 5,000 bytes took more than one attribute holds on ext4 and
// failed with dskFulErr.
TEST_F(Qmfiles, CopiesLargeResourceForksAtFileSpeed) {
  for (size_t size : {size_t(5000), size_t(64) << 20}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
      bytes[i] = static_cast<char>(i * 7 + i / 4093);
    writeFile(path("big"), bytes);
    auto timed = [&](const std::vector<std::string> &args, double &seconds) {
      struct timespec a, b;
      ::clock_gettime(CLOCK_MONOTONIC, &a);
      Result r = run(args);
      ::clock_gettime(CLOCK_MONOTONIC, &b);
      seconds = double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) / 1e9;
      return r;
    };
    double data = 0, in = 0, out = 0;
    Result plain = timed({"cp", "--fork", path("big"), path("plain")}, data);
    ASSERT_EQ(plain.status, 0) << plain.err;
    Result into = timed({"cp", "--fork", "--to", "rsrc", path("big"), path("holder")}, in);
    ASSERT_EQ(into.status, 0) << into.err;
    Result sizes = run({"sizes", path("holder")});
    ASSERT_EQ(sizes.status, 0) << sizes.err;
    EXPECT_NE(sizes.out.find("resource fork   " + std::to_string(size) + "\n"), std::string::npos)
        << sizes.out;
    EXPECT_EQ(readFile(path("._holder")).size(), 0x52 + size);
    EXPECT_EQ(run({"info", path("holder")}).status, 0);
    Result back = timed({"cp", "--fork", "--from", "rsrc", path("holder"), path("back")}, out);
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(readFile(path("back")) == bytes);
    RecordProperty("seconds_" + std::to_string(size),
                   std::to_string(data) + " " + std::to_string(in) + " " + std::to_string(out));
    // Loose, for a shared machine: a fork rewritten whole on every write
    // would take many times longer.
    EXPECT_LT(in, 5 * data + 1) << "data fork copy " << data << " s";
    EXPECT_LT(out, 5 * data + 1) << "data fork copy " << data << " s";
    for (const char *name : {"plain", "holder", "._holder", "back"})
      ::unlink(path(name).c_str());
  }
}

TEST_F(Qmfiles, CopiesUnderAnyNameTheFileSystemTakes) {
  mkdir("to");
  writeFile(path("source"), "contents");
  // Too long for the one-byte form (kTECOutputBufferFullStatus), and
  // without one in the system script (kTECUnmappableElementErr); the path
  // printed is a shell word.
  const std::string cyrillic = "\xD0\x94\xD0\xBE\xD0\xBA\xD1\x83\xD0\xBC\xD0\xB5\xD0\xBD\xD1\x82";
  for (const auto &[name, printed] :
       {std::pair<std::string, std::string>{"Quarterly report for the board (final).txt",
                                            "'" + path("to/Quarterly report for the board "
                                                       "(final).txt") + "'\n"},
        {cyrillic, path("to/" + cyrillic) + "\n"}}) {
    Result copy = run({"cp", "--name", name, path("source"), path("to")});
    ASSERT_EQ(copy.status, 0) << name << ": " << copy.err;
    EXPECT_EQ(readFile(path("to/") + name), "contents") << name;
    EXPECT_EQ(copy.out, printed);
  }
  // A name that is taken, or that the file system refuses: nothing is left.
  for (const char *name : {"Quarterly report for the board (final).txt", "a:b"}) {
    Result refused = run({"cp", "--name", name, path("source"), path("to")});
    EXPECT_EQ(refused.status, 1) << name;
    EXPECT_EQ(refused.err.rfind("qmfiles: FSRenameUnicode: ", 0), 0u) << refused.err;
  }
  EXPECT_EQ(shell("ls -A " + quote(path("to")) + " | wc -l"), "2");
}

TEST_F(Qmfiles, RefusesToExchangeAFileWithItself) {
  writeFile(path("f"), "one");
  ASSERT_EQ(::link(path("f").c_str(), path("link").c_str()), 0);
  for (const char *other : {"f", "link"}) {
    Result r = run({"exchange", path("f"), path(other)});
    EXPECT_EQ(r.status, 1) << other;
    EXPECT_EQ(r.err, "qmfiles: " + path("f") + " and " + path(other) +
                         " are one file: sameFileErr (-1306)\n");
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_EQ(readFile(path("f")), "one");
}

TEST_F(Qmfiles, NoFileIDOnAReadOnlyVolume) {
  int status = 0;
  std::string probe = runCommand("unshare -m --propagation private true", status);
  if (status != 0)
    GTEST_SKIP() << "this machine forbids a private mount namespace: " << probe;
  // A read-only tmpfs, and a read-only bind mount of a folder of a writable
  // volume, each in a mount namespace of the command's own.
  mkdir("tmpfs");
  mkdir("source");
  mkdir("bound");
  writeFile(path("source/f"), "x");
  const std::string tool = quote(QMFILES);
  const std::string scripts[] = {
      "mount -t tmpfs none " + quote(path("tmpfs")) + " && touch " + quote(path("tmpfs/a")) +
          " " + quote(path("tmpfs/f")) + " && mount -o remount,ro " + quote(path("tmpfs")) +
          " && " + tool + " info --id " + quote(path("tmpfs/f")),
      "mount --bind " + quote(path("source")) + " " + quote(path("bound")) +
          " && mount -o remount,bind,ro " + quote(path("bound")) + " && " + tool +
          " info --id " + quote(path("bound/f")),
  };
  for (const std::string &script : scripts) {
    std::string out = runCommand("unshare -m --propagation private sh -c " +
                                     quote("{ " + script + "; } 2>&1") + "; echo status $?",
                                 status);
    if (out.find("mount: ") != std::string::npos)
      GTEST_SKIP() << "mount is not permitted here: " << out;
    EXPECT_EQ(out, "qmfiles: FSCreateFileIDRef: no ID can be recorded on a read-only volume: "
                   "vLckdErr (-46)\nstatus 1\n");
  }
  EXPECT_NE(::getxattr(path("source/f").c_str(), "user.quillmate.fileid", nullptr, 0), 4);
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

// Where the file system keeps no extended attributes (FAT, some network
// mounts; here bindfs --xattr-none) the type and creator go into the `._`
// file, where the Mac reads them.
TEST_F(Qmfiles, FinderInformationWithoutExtendedAttributes) {
  mkdir("source");
  mkdir("mount");
  NoAttributesMount mount(path("source"), path("mount"));
  if (!mount.unavailable().empty())
    GTEST_SKIP() << mount.unavailable();
  writeFile(path("mount/doc"), "");
  Result set = run({"finder", "--type", "TEXT", "--creator", "QMTE", path("mount/doc")});
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "creator  'QMTE'\ntype     'TEXT'\nflags    0x0000\nlocked   no\n");
  Result again = run({"finder", path("mount/doc")});
  EXPECT_EQ(again.out, set.out);
  // The `._` file as this layer makes it: its Finder information at 0x32.
  const std::string sidecar = readFile(path("source/._doc"));
  ASSERT_GE(sidecar.size(), 0x52u);
  EXPECT_EQ(sidecar.substr(0, 4), std::string("\0\x05\x16\x07", 4));
  EXPECT_EQ(sidecar.substr(0x32, 8), "TEXTQMTE");
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
