// qmfiles: the file utility library from a shell.  Each command is one or a
// few of the library's operations on the paths it is given; see usage below.
//
// Exit status: 0 on success, 1 when an operation failed (its status is
// printed by name and number on standard error) or the output could not be
// written, 2 for a command line that cannot be understood.
#include <FileUtilities.h>

#include "tools/common/StandardOutput.h"
#include "tools/qmfiles/Output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

using namespace qmfiles;

namespace {

const char kUsage[] =
    "usage: qmfiles info [--id] [--json] <path>\n"
    "       qmfiles ls [--json] <folder>\n"
    "       qmfiles walk [--depth N] [--json] <folder>\n"
    "       qmfiles rm [--contents] <folder>\n"
    "       qmfiles cp [--name NAME] <file> <folder>\n"
    "       qmfiles cp --fork [--from data|rsrc] [--to data|rsrc] [--buffer BYTES] <file> <file>\n"
    "       qmfiles mv [--name NAME] [--server] <object> <folder>\n"
    "       qmfiles exchange <file> <file>\n"
    "       qmfiles finder [--json] [--creator CODE] [--type CODE] [--set FLAGS] [--clear FLAGS] "
    "<path>\n"
    "       qmfiles lock <path>\n"
    "       qmfiles unlock <path>\n"
    "       qmfiles sizes [--json] <path>\n"
    "       qmfiles volumes [--json]\n"
    "       qmfiles mount-record-size [--json] <path>\n"
    "FLAGS: a comma-separated list of invisible, name-locked, stationery, custom-icon.\n"
    "Names and paths print as shell words: quoted when needed, control characters and\n"
    "bytes that are not UTF-8 in $'...'.  In JSON such a byte is \\udc80-\\udcff, and\n"
    "pathBytes gives the path one character a byte (U+0000-U+00FF).\n";

enum { kOK = 0, kFailed = 1, kUsageError = 2 };

/// A failure of the library: the operation and its status.
struct Failure {
  std::string what;
  OSStatus status;
};

int report(const Failure &f) {
  std::fprintf(stderr, "qmfiles: %s: %s\n", f.what.c_str(), statusText(f.status).c_str());
  return kFailed;
}

int usage(const std::string &message) {
  std::fprintf(stderr, "qmfiles: %s\n%s", message.c_str(), kUsage);
  return kUsageError;
}

/// The command line after the command: options (with or without a value)
/// and the remaining arguments.
class Arguments {
public:
  Arguments(int argc, char **argv, const std::vector<std::string> &flags,
            const std::vector<std::string> &valued) {
    for (int i = 0; i < argc; ++i) {
      std::string a = argv[i];
      if (a == "--") {
        for (++i; i < argc; ++i)
          positional_.push_back(argv[i]);
        break;
      }
      if (a.rfind("--", 0) != 0 || a.size() == 2) {
        positional_.push_back(a);
        continue;
      }
      if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
        options_[a] = "";
      } else if (std::find(valued.begin(), valued.end(), a) != valued.end()) {
        if (i + 1 >= argc) {
          error_ = a + " needs a value";
          return;
        }
        options_[a] = argv[++i];
      } else {
        error_ = "unknown option " + a;
        return;
      }
    }
  }
  const std::string &error() const { return error_; }
  bool has(const std::string &o) const { return options_.count(o) != 0; }
  std::string value(const std::string &o, const std::string &fallback = "") const {
    auto it = options_.find(o);
    return it == options_.end() ? fallback : it->second;
  }
  /// The option's value as a whole number from `min` to `max`.
  bool number(const std::string &o, const std::string &fallback, uint64_t min, uint64_t max,
              uint64_t &out) const {
    std::string text = value(o, fallback);
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end || errno || text[0] == '-' || n < min || n > max)
      return false;
    out = n;
    return true;
  }
  const std::vector<std::string> &positional() const { return positional_; }

private:
  std::map<std::string, std::string> options_;
  std::vector<std::string> positional_;
  std::string error_;
};

// --- Paths and references ------------------------------------------------------

OSStatus refOf(const std::string &path, FSRef &ref, Boolean *isDirectory = nullptr) {
  return FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, isDirectory);
}

std::string pathOf(const FSRef &ref) {
  std::vector<UInt8> buffer(4096);
  for (;;) {
    OSStatus status = FSRefMakePath(&ref, buffer.data(), static_cast<UInt32>(buffer.size()));
    if (status == noErr)
      return reinterpret_cast<const char *>(buffer.data());
    if (status != errFSNameTooLong || buffer.size() > (1u << 24))
      return "?";
    buffer.resize(buffer.size() * 4);
  }
}

/// Resolves a path given on the command line, or explains why not.
bool resolve(const std::string &path, FSRef &ref, Failure &failure,
             Boolean *isDirectory = nullptr) {
  OSStatus status = refOf(path, ref, isDirectory);
  if (status != noErr)
    failure = {path, status};
  return status == noErr;
}

/// Prints `record` in the form the command line asks for: one JSON object,
/// or "label  value" lines.
void print(const Arguments &args, const Record &record) {
  if (args.has("--json"))
    std::printf("%s\n", jsonObject(record).c_str());
  else
    printLines(record);
}

// --- info, ls, walk, rm --------------------------------------------------------------

std::string hfsHex(const Str31 hfs) {
  std::string out;
  char buffer[4];
  for (int i = 1; i <= hfs[0]; ++i) {
    std::snprintf(buffer, sizeof buffer, i == 1 ? "%02X" : " %02X", hfs[i]);
    out += buffer;
  }
  return out;
}

/// The one-byte name the library makes of `name` in the system script, and
/// that name read back: three fields, and one line of text.
void addHFSName(Record &record, const HFSUniStr255 &name, bool isVolumeRoot) {
  Str31 hfs;
  OSErr status =
      UnicodeNameGetHFSName(name.length, name.unicode, kTextEncodingUnknown, isVolumeRoot, hfs);
  HFSUniStr255 back{};
  if (status == noErr)
    HFSNameGetUnicodeName(hfs, kTextEncodingUnknown, &back);
  record.push_back({"hfsName", "HFS name",
                    {jsonString(utf8(back)), status == noErr
                                                 ? shellWord(utf8(back)) + " (" + hfsHex(hfs) + ")"
                                                 : "none: " + statusText(status)}});
  record.push_back({"hfsNameBytes", nullptr, Value::string(hfsHex(hfs))});
  record.push_back({"hfsNameStatus", nullptr, Value::number(status)});
}

/// vLckdErr when the volume of `ref` is locked (read-only), else noErr.
OSErr volumeLock(const FSRef &ref) {
  FSVolumeRefNum volume;
  FSVolumeInfo info;
  if (FSGetVRefNum(&ref, &volume) != noErr ||
      FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoFlags, &info, nullptr, nullptr) != noErr)
    return noErr;
  bool locked = info.flags & (kFSVolFlagHardwareLockedMask | kFSVolFlagSoftwareLockedMask);
  return locked ? OSErr{vLckdErr} : OSErr{noErr};
}

/// The file ID of `ref` when the command line asks for it (making one marks
/// the file), or a failure.  On a locked volume the File Manager keeps the
/// mark of a new ID in memory only, so the ID would not outlast this run: a
/// failure too.
bool addFileID(Record &record, const Arguments &args, const FSRef &ref, Failure &failure) {
  Value id = Value::none();
  if (args.has("--id")) {
    SInt32 fileID = 0;
    OSErr err = FSCreateFileIDRef(&ref, &fileID);
    if (err == noErr)
      err = volumeLock(ref);
    if (err == vLckdErr) {
      failure = {"FSCreateFileIDRef: no ID can be recorded on a read-only volume", err};
      return false;
    }
    if (err == noErr || err == fidExists || err == afpIDExists)
      id = Value::number(static_cast<UInt32>(fileID));
    else if (err == notAFileErr)
      id = Value::none("none (a folder)");
    else {
      failure = {"FSCreateFileIDRef", err};
      return false;
    }
  }
  record.push_back({"fileID", "file ID", id});
  return true;
}

int info(const Arguments &args) {
  if (args.positional().size() != 1)
    return usage("info takes one path");
  FSRef ref;
  Failure failure;
  if (!resolve(args.positional()[0], ref, failure))
    return report(failure);
  SInt32 nodeID = 0;
  Boolean isDirectory = false;
  if (OSErr err = FSGetNodeID(&ref, &nodeID, &isDirectory))
    return report({"FSGetNodeID", err});
  HFSUniStr255 name;
  if (OSErr err = FSGetFileDirName(&ref, &name))
    return report({"FSGetFileDirName", err});
  FSRef parent;
  if (OSErr err = FSGetParentRef(&ref, &parent))
    return report({"FSGetParentRef", err});
  FSRef none{};
  bool hasParent = std::memcmp(&parent, &none, sizeof none) != 0;

  std::string path = pathOf(ref);
  Record record = {{"path", "path", Value::name(path)},
                   {"pathBytes", nullptr, Value::bytes(path)},
                   {"name", "name", Value::name(utf8(name))}};
  addHFSName(record, name, !hasParent);
  record.push_back({"nodeID", "node ID", Value::number(static_cast<UInt32>(nodeID))});
  record.push_back({"directory", "directory", Value::truth(isDirectory)});
  record.push_back({"parent", "parent",
                    hasParent ? Value::name(pathOf(parent))
                              : Value::none("none (a volume's root)")});
  if (!addFileID(record, args, ref, failure))
    return report(failure);
  print(args, record);
  return kOK;
}

/// The POSIX path of `name` in the folder at `folder`.
std::string childPath(const std::string &folder, const std::string &name) {
  return folder + (folder.empty() || folder.back() != '/' ? "/" : "") + name;
}

constexpr Column kListColumns[] = {{"directory", "", 0, 0},
                                   {"nodeID", "", 10, 1},
                                   {"size", "", 12, 1},
                                   {"diskName", "", 0, 2}};

/// What ls shows of an item of the folder at `folder`, or its failure (it
/// may be gone since it was listed).
bool listedItem(const FSRef &item, const std::string &folder, Record &record, Failure &failure) {
  FSCatalogInfo catalog;
  HFSUniStr255 name;
  OSErr err = FSGetCatalogInfo(&item, kFSCatInfoNodeFlags | kFSCatInfoNodeID | kFSCatInfoDataSizes,
                               &catalog, &name, nullptr, nullptr);
  if (err != noErr) {
    failure = {"FSGetCatalogInfo", err};
    return false;
  }
  bool isDirectory = catalog.nodeFlags & kFSNodeIsDirectoryMask;
  std::string path = childPath(folder, diskName(name));
  record = {{"name", nullptr, Value::name(utf8(name)).jsonOnly()},
            {"path", nullptr, Value::name(path).jsonOnly()},
            {"pathBytes", nullptr, Value::bytes(path)},
            {"diskName", nullptr, {std::nullopt, shellWord(diskName(name))}},
            {"nodeID", nullptr, Value::number(catalog.nodeID)},
            {"directory", nullptr, Value::truth(isDirectory, "d", "-")},
            {"size", nullptr,
             isDirectory ? Value{std::nullopt, ""} : Value::number(catalog.dataLogicalSize)}};
  return true;
}

int ls(const Arguments &args) {
  if (args.positional().size() != 1)
    return usage("ls takes one folder");
  FSRef folder;
  Failure failure;
  if (!resolve(args.positional()[0], folder, failure))
    return report(failure);
  FSRef **items = nullptr;
  ItemCount count = 0;
  Boolean changed = false;
  if (OSErr err = FSGetDirectoryItems(&folder, &items, &count, &changed))
    return report({"FSGetDirectoryItems", err});
  std::string folderPath = pathOf(folder);
  JSONList json;
  int status = kOK;
  for (ItemCount i = 0; i < count; ++i) {
    Record record;
    if (!listedItem((*items)[i], folderPath, record, failure))
      status = report(failure);
    else if (args.has("--json"))
      json.add(record);
    else
      printRow(record, kListColumns);
  }
  if (args.has("--json"))
    json.finish();
  DisposeHandle(reinterpret_cast<Handle>(items));
  return status;
}

constexpr Column kWalkColumns[] = {{"depth", "", 3, 0}, {"nodeID", "", 10, 1}, {"path", "", 0, 2}};

/// What the walk's filter needs: the names on the way down, for paths built
/// without asking the File Manager for each item's path.
struct WalkState {
  std::vector<std::string> names; // names[d] = the name of the folder at depth d
  bool json = false;
  uint64_t items = 0;
  Progress *progress = nullptr;
};

Boolean walkItem(Boolean, ItemCount depth, const FSCatalogInfo *info, const FSRef *,
                 const FSSpec *, const HFSUniStr255 *name, void *data) {
  auto &state = *static_cast<WalkState *>(data);
  state.names.resize(depth);
  state.names.push_back(diskName(*name));
  std::string path = state.names[0];
  for (size_t d = 1; d <= depth; ++d)
    path = childPath(path, state.names[d]);
  bool isDirectory = info->nodeFlags & kFSNodeIsDirectoryMask;
  Record record = {{"depth", nullptr, Value::number(depth)},
                   {"nodeID", nullptr, Value::number(info->nodeID)},
                   {"directory", nullptr, Value::truth(isDirectory).jsonOnly()},
                   {"path", nullptr, {jsonString(path), shellWord(path) + (isDirectory ? "/" : "")}},
                   {"pathBytes", nullptr, Value::bytes(path)}};
  state.progress->beforeOutput();
  if (state.json)
    std::printf("%s\n", jsonObject(record).c_str());
  else
    printRow(record, kWalkColumns);
  state.progress->update(++state.items);
  // Output that cannot be written ends the walk.
  return std::ferror(stdout) != 0;
}

int walk(const Arguments &args) {
  if (args.positional().size() != 1)
    return usage("walk takes one folder");
  uint64_t depth = 0;
  if (!args.number("--depth", "0", 0, ~ItemCount{0}, depth))
    return usage("--depth takes a number (0: no limit)");
  FSRef folder;
  Failure failure;
  if (!resolve(args.positional()[0], folder, failure))
    return report(failure);
  Progress progress("items");
  WalkState state;
  state.names.push_back(pathOf(folder));
  state.json = args.has("--json");
  state.progress = &progress;
  OSErr err = FSIterateContainer(&folder, depth, kFSCatInfoNodeFlags | kFSCatInfoNodeID, false,
                                 true, walkItem, &state);
  progress.hide();
  return err ? report({"FSIterateContainer", err}) : kOK;
}

int rm(const Arguments &args) {
  if (args.positional().size() != 1)
    return usage("rm takes one folder");
  const std::string &path = args.positional()[0];
  FSRef folder;
  Failure failure;
  if (!resolve(path, folder, failure))
    return report(failure);
  OSErr err;
  {
    // The deletion is one call; the count of inodes freed on its file system
    // shows how far it is.
    Progress progress("items");
    struct statvfs st;
    if (::statvfs(path.c_str(), &st) == 0 && st.f_files != 0)
      progress.watch([path, start = st.f_ffree](uint64_t &done) {
        struct statvfs now;
        if (::statvfs(path.c_str(), &now) != 0 || now.f_ffree < start)
          return false;
        done = now.f_ffree - start;
        return true;
      });
    err = args.has("--contents") ? FSDeleteContainerContents(&folder) : FSDeleteContainer(&folder);
  }
  if (err)
    return report({args.has("--contents") ? "FSDeleteContainerContents" : "FSDeleteContainer", err});
  return kOK;
}

// --- cp, mv, exchange --------------------------------------------------------------

/// The name of a fork on the command line: data or rsrc.
bool forkName(const std::string &which, HFSUniStr255 &name) {
  if (which == "data")
    return FSGetDataForkName(&name) == noErr;
  if (which == "rsrc")
    return FSGetResourceForkName(&name) == noErr;
  return false;
}

/// An existing file, or a new empty one at `path` (its folder must exist).
bool fileForWriting(const std::string &path, FSRef &ref, Failure &failure) {
  OSStatus status = refOf(path, ref);
  if (status != fnfErr) {
    if (status != noErr)
      failure = {path, status};
    return status == noErr;
  }
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::u16string name = utf16(slash == std::string::npos ? path : path.substr(slash + 1));
  FSRef parent;
  if (!resolve(folder, parent, failure))
    return false;
  OSErr err = FSCreateFileUnicode(&parent, name.size(), reinterpret_cast<const UniChar *>(name.data()),
                                  kFSCatInfoNone, nullptr, &ref, nullptr);
  if (err)
    failure = {"FSCreateFileUnicode", err};
  return err == noErr;
}

/// Copies the open fork `in` into `out` through a buffer of `bufferSize`.
OSErr copyOpenFork(FSIORefNum in, FSIORefNum out, size_t bufferSize) {
  SInt64 total = 0;
  FSGetForkSize(in, &total);
  std::vector<char> buffer(bufferSize);
  // The copy is one call; the destination's mark shows how far it is.
  Progress progress("bytes", static_cast<uint64_t>(total));
  if (total >= (64 << 20))
    progress.watch([out](uint64_t &done) {
      SInt64 position = 0;
      if (FSGetForkPosition(out, &position) != noErr)
        return false;
      done = static_cast<uint64_t>(position);
      return true;
    });
  return FSCopyFork(in, out, buffer.data(), buffer.size());
}

int copyFork(const Arguments &args) {
  HFSUniStr255 fromName, toName;
  if (!forkName(args.value("--from", "data"), fromName) ||
      !forkName(args.value("--to", "data"), toName))
    return usage("--from and --to take data or rsrc");
  uint64_t bufferSize = 0;
  if (!args.number("--buffer", "1048576", 1, 1ull << 30, bufferSize))
    return usage("--buffer takes a size in bytes from 1 to 1 GiB");
  FSRef source, destination;
  Failure failure;
  if (!resolve(args.positional()[0], source, failure) ||
      !fileForWriting(args.positional()[1], destination, failure))
    return report(failure);
  FSIORefNum in = 0, out = 0;
  if (OSErr err = FSOpenFork(&source, fromName.length, fromName.unicode, fsRdPerm, &in))
    return report({"FSOpenFork " + args.positional()[0], err});
  if (OSErr err = FSOpenFork(&destination, toName.length, toName.unicode, fsWrPerm, &out)) {
    FSCloseFork(in);
    return report({"FSOpenFork " + args.positional()[1], err});
  }
  OSErr err = copyOpenFork(in, out, bufferSize);
  OSErr closeOut = FSCloseFork(out);
  FSCloseFork(in);
  if (err)
    return report({"FSCopyFork", err});
  if (closeOut)
    return report({"FSCloseFork", closeOut});
  return kOK;
}

/// The library's copy of `source` into `folder`, under `name` (a name of its
/// one-byte form) or, when null, the source's own name.
bool copyFile(const FSRef &source, const FSRef &folder, const std::u16string *name, FSRef &copy,
              Failure &failure) {
  OSErr err = FSCopyFile(&source, &folder, name ? name->size() : 0,
                         name ? reinterpret_cast<const UniChar *>(name->data()) : nullptr,
                         kTextEncodingUnknown, &copy);
  if (err)
    failure = {"FSCopyFile", err};
  return err == noErr;
}

/// A copy of `source` in `folder` named `name`, any name the file system
/// takes.  The library names a copy in a one-byte form of 31 bytes at most,
/// so the copy is made under a short name of its own that no item of the
/// folder has, then renamed; a copy that cannot take the name is deleted.
bool copyUnder(const FSRef &source, const FSRef &folder, const std::u16string &name, FSRef &copy,
               Failure &failure) {
  FSRef made;
  for (int attempt = 0;; ++attempt) {
    std::u16string temporary = utf16(".qmfiles-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(attempt));
    if (copyFile(source, folder, &temporary, made, failure))
      break;
    if (failure.status != dupFNErr || attempt == 99)
      return false;
  }
  OSErr err = FSRenameUnicode(&made, name.size(), reinterpret_cast<const UniChar *>(name.data()),
                              kTextEncodingUnknown, &copy);
  if (err == noErr)
    return true;
  failure = {"FSRenameUnicode", err};
  if (OSErr left = FSDeleteObject(&made))
    report({"FSDeleteObject: the copy is left as " + pathOf(made), left});
  return false;
}

int cp(const Arguments &args) {
  if (args.positional().size() != 2)
    return usage("cp takes a source and a destination");
  if (args.has("--fork"))
    return copyFork(args);
  if (args.has("--from") || args.has("--to") || args.has("--buffer"))
    return usage("--from, --to and --buffer go with --fork");
  FSRef source, folder;
  Failure failure;
  if (!resolve(args.positional()[0], source, failure) ||
      !resolve(args.positional()[1], folder, failure))
    return report(failure);
  FSRef copy;
  if (args.has("--name") ? !copyUnder(source, folder, utf16(args.value("--name")), copy, failure)
                         : !copyFile(source, folder, nullptr, copy, failure))
    return report(failure);
  std::printf("%s\n", shellWord(pathOf(copy)).c_str());
  return kOK;
}

int mv(const Arguments &args) {
  if (args.positional().size() != 2)
    return usage("mv takes an object and a folder");
  FSRef object, folder;
  Failure failure;
  if (!resolve(args.positional()[0], object, failure) ||
      !resolve(args.positional()[1], folder, failure))
    return report(failure);
  std::u16string name = utf16(args.value("--name"));
  const UniChar *newName =
      args.has("--name") ? reinterpret_cast<const UniChar *>(name.data()) : nullptr;
  FSRef moved;
  bool server = args.has("--server");
  OSErr err = server ? FSMoveRename(&object, &folder, name.size(), newName, kTextEncodingUnknown,
                                    &moved)
                     : FSMoveRenameObjectUnicode(&object, &folder, name.size(), newName,
                                                 kTextEncodingUnknown, &moved);
  if (err)
    return report({server ? "FSMoveRename" : "FSMoveRenameObjectUnicode", err});
  std::printf("%s\n", shellWord(pathOf(moved)).c_str());
  return kOK;
}

/// Whether the volume of `ref` says it exchanges natively: the bit
/// FSExchangeObjectsCompat goes by, as the volume's parameters give it.
bool exchangesNatively(const FSRef &ref) {
  FSVolumeRefNum volume;
  GetVolParmsInfoBuffer parms{};
  UInt32 size = 0;
  return FSGetVRefNum(&ref, &volume) == noErr &&
         FSGetVolParms(volume, sizeof parms, &parms, &size) == noErr && parms.vMVersion > 2 &&
         (parms.vMExtendedAttributes & (1L << bSupportsFSExchangeObjects)) != 0;
}

/// Whether `a` and `b` name one file (two hard links of it, say).
bool sameFile(const FSRef &a, const FSRef &b) {
  FSCatalogInfo infoA, infoB;
  const FSCatalogInfoBitmap which = kFSCatInfoVolume | kFSCatInfoNodeID;
  return FSCompareFSRefs(&a, &b) == noErr ||
         (FSGetCatalogInfo(&a, which, &infoA, nullptr, nullptr, nullptr) == noErr &&
          FSGetCatalogInfo(&b, which, &infoB, nullptr, nullptr, nullptr) == noErr &&
          infoA.volume == infoB.volume && infoA.nodeID == infoB.nodeID);
}

int exchange(const Arguments &args) {
  if (args.positional().size() != 2)
    return usage("exchange takes two files");
  FSRef a, b;
  Failure failure;
  if (!resolve(args.positional()[0], a, failure) || !resolve(args.positional()[1], b, failure))
    return report(failure);
  if (sameFile(a, b))
    return report({args.positional()[0] + " and " + args.positional()[1] + " are one file",
                   sameFileErr});
  bool native = exchangesNatively(a);
  FSRef newA, newB;
  if (OSErr err = FSExchangeObjectsCompat(&a, &b, &newA, &newB))
    return report({"FSExchangeObjectsCompat", err});
  std::printf("exchanged by %s\n",
              native ? "the file system (FSExchangeObjects)"
                     : "the fallback (temporary names, moves and catalog writes)");
  return kOK;
}

// --- finder, lock, unlock, sizes -------------------------------------------------------

struct FlagName {
  const char *name;
  UInt16 bit;
  OSErr (*set)(const FSRef *);
  OSErr (*clear)(const FSRef *);
};

constexpr FlagName kFlags[] = {
    {"invisible", kIsInvisible, FSSetInvisible, FSClearInvisible},
    {"name-locked", kNameLocked, FSSetNameLocked, FSClearNameLocked},
    {"stationery", kIsStationery, FSSetIsStationery, FSClearIsStationery},
    {"custom-icon", kHasCustomIcon, FSSetHasCustomIcon, FSClearHasCustomIcon},
};

/// The flags of a comma-separated list, or false for an unknown name.
bool parseFlags(const std::string &list, std::vector<const FlagName *> &out) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    std::string word = list.substr(start, comma == std::string::npos ? std::string::npos
                                                                      : comma - start);
    const FlagName *found = nullptr;
    for (const FlagName &f : kFlags)
      if (word == f.name)
        found = &f;
    if (!found)
      return false;
    out.push_back(found);
    if (comma == std::string::npos)
      break;
    start = comma + 1;
  }
  return true;
}

/// A four-character code from the command line: exactly four bytes.
bool parseCode(const std::string &text, OSType &code) {
  if (text.size() != 4)
    return false;
  code = 0;
  for (unsigned char c : text)
    code = (code << 8) | c;
  return true;
}

/// What finder's command line asks to change, checked before anything is.
struct FinderChanges {
  OSType creator = 0, type = 0;
  std::vector<const FlagName *> set, clear;
};

/// Makes the changes, or says which failed.
bool applyFinderChanges(const FSRef &ref, const FinderChanges &changes, Failure &failure) {
  if (changes.creator || changes.type)
    if (OSErr err = FSChangeCreatorType(&ref, changes.creator, changes.type)) {
      failure = {"FSChangeCreatorType", err};
      return false;
    }
  for (const FlagName *f : changes.set)
    if (OSErr err = f->set(&ref)) {
      failure = {std::string("setting ") + f->name, err};
      return false;
    }
  for (const FlagName *f : changes.clear)
    if (OSErr err = f->clear(&ref)) {
      failure = {std::string("clearing ") + f->name, err};
      return false;
    }
  return true;
}

/// The Finder information and lock of `ref`: codes (of a file), flags and
/// whether it is locked.
bool finderRecord(const FSRef &ref, Record &record, Failure &failure) {
  FinderInfo info;
  Boolean isDirectory = false;
  if (OSErr err = FSGetFinderInfo(&ref, &info, nullptr, &isDirectory)) {
    failure = {"FSGetFinderInfo", err};
    return false;
  }
  auto code = [&](OSType c) {
    return isDirectory ? Value::none() : Value{jsonString(codeText(c, 4)), "'" + codeText(c, 4) + "'"};
  };
  UInt16 flags = isDirectory ? info.folder.finderFlags : info.file.finderFlags;
  std::string names, list;
  for (const FlagName &f : kFlags)
    if (flags & f.bit) {
      names += (names.empty() ? "" : ", ") + std::string(f.name);
      list += (list.empty() ? "" : ", ") + jsonString(f.name);
    }
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%04X", flags);
  OSErr lock = FSCheckLock(&ref);
  std::string locked = lock == fLckdErr ? "yes" : lock == noErr ? "no" : "volume";
  record = {{"directory", nullptr, Value::truth(isDirectory).jsonOnly()},
            {"creator", "creator", code(info.file.fileCreator)},
            {"type", "type", code(info.file.fileType)},
            {"flags", "flags", {std::to_string(flags), hex + (names.empty() ? "" : " " + names)}},
            {"flagNames", nullptr, Value{"[" + list + "]", std::nullopt}},
            {"locked", "locked",
             {jsonString(locked), lock != noErr && lock != fLckdErr
                                      ? locked + " (" + statusText(lock) + ")"
                                      : locked}}};
  return true;
}

int finder(const Arguments &args) {
  if (args.positional().size() != 1)
    return usage("finder takes one path");
  FinderChanges changes;
  if ((args.has("--creator") && !parseCode(args.value("--creator"), changes.creator)) ||
      (args.has("--type") && !parseCode(args.value("--type"), changes.type)))
    return usage("--creator and --type take four characters");
  if ((args.has("--set") && !parseFlags(args.value("--set"), changes.set)) ||
      (args.has("--clear") && !parseFlags(args.value("--clear"), changes.clear)))
    return usage("unknown Finder flag (invisible, name-locked, stationery, custom-icon)");
  FSRef ref;
  Failure failure;
  Record record;
  if (!resolve(args.positional()[0], ref, failure) ||
      !applyFinderChanges(ref, changes, failure) || !finderRecord(ref, record, failure))
    return report(failure);
  print(args, record);
  return kOK;
}

int setLock(const Arguments &args, bool lock) {
  if (args.positional().size() != 1)
    return usage(std::string(lock ? "lock" : "unlock") + " takes one path");
  FSRef ref;
  Failure failure;
  if (!resolve(args.positional()[0], ref, failure))
    return report(failure);
  FSCatalogInfo info;
  if (OSErr err = FSGetCatalogInfo(&ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr))
    return report({"FSGetCatalogInfo", err});
  if (lock)
    info.nodeFlags |= kFSNodeLockedMask;
  else
    info.nodeFlags &= ~kFSNodeLockedMask;
  if (OSErr err = FSSetCatalogInfo(&ref, kFSCatInfoNodeFlags, &info))
    return report({"FSSetCatalogInfo", err});
  return kOK;
}

int sizes(const Arguments &args) {
  if (args.positional().size() != 1)
    return usage("sizes takes one path");
  FSRef ref;
  Failure failure;
  if (!resolve(args.positional()[0], ref, failure))
    return report(failure);
  UInt64 data = 0, rsrc = 0, logical = 0, physical = 0;
  ItemCount forks = 0;
  if (OSErr err = FSGetForkSizes(&ref, &data, &rsrc))
    return report({"FSGetForkSizes", err});
  if (OSErr err = FSGetTotalForkSizes(&ref, &logical, &physical, &forks))
    return report({"FSGetTotalForkSizes", err});
  print(args, {{"data", "data fork", Value::number(data)},
               {"resource", "resource fork", Value::number(rsrc)},
               {"totalLogical", "total logical", Value::number(logical)},
               {"totalPhysical", "total physical", Value::number(physical)},
               {"forks", "forks", Value::number(forks)}});
  return kOK;
}

// --- volumes --------------------------------------------------------------------------

constexpr Column kVolumeColumns[] = {
    {"volume", "volume", 6, 0},         {"name", "name", -16, 2},
    {"totalBytes", "total bytes", 16, 1}, {"freeBytes", "free bytes", 16, 1},
    {"locks", "locks", -5, 2},          {"fileSystemID", "fs ID", 6, 1},
    {"signature", "sig", 4, 1},         {"mountPoint", "mount point", 0, 2}};

/// What volumes shows of the volume whose root is `root`.
OSErr volumeRecord(const FSRef &root, Record &record) {
  FSVolumeRefNum volume = 0;
  HFSUniStr255 name;
  UInt64 total = 0, free = 0;
  UInt16 fileSystemID = 0, signature = 0;
  FSVolumeInfo info;
  OSErr err;
  if ((err = FSGetVRefNum(&root, &volume)) || (err = FSGetVInfo(volume, &name, &free, &total)) ||
      (err = FSGetVolFileSystemID(volume, &fileSystemID, &signature)) ||
      (err = FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoFlags, &info, nullptr, nullptr)))
    return err;
  bool hardware = info.flags & kFSVolFlagHardwareLockedMask;
  bool software = info.flags & kFSVolFlagSoftwareLockedMask;
  std::string locks = std::string(hardware ? "hw" : "") + (hardware && software ? "," : "") +
                      (software ? "sw" : "");
  record = {{"volume", nullptr, Value::number(volume)},
            {"name", nullptr, Value::name(utf8(name))},
            {"mountPoint", nullptr, Value::name(pathOf(root))},
            {"totalBytes", nullptr, Value::number(total)},
            {"freeBytes", nullptr, Value::number(free)},
            {"hardwareLocked", nullptr, Value::truth(hardware).jsonOnly()},
            {"softwareLocked", nullptr, Value::truth(software).jsonOnly()},
            {"locks", nullptr, {std::nullopt, locks.empty() ? "-" : locks}},
            {"fileSystemID", nullptr, Value::number(fileSystemID)},
            {"signature", nullptr, Value::string(codeText(signature, 2))}};
  return noErr;
}

int volumes(const Arguments &args) {
  if (!args.positional().empty())
    return usage("volumes takes no arguments");
  FSRef **roots = nullptr;
  ItemCount count = 0;
  if (OSErr err = FSGetMountedVolumes(&roots, &count))
    return report({"FSGetMountedVolumes", err});
  std::vector<Record> records(count);
  OSErr err = noErr;
  for (ItemCount i = 0; i < count && !err; ++i)
    err = volumeRecord((*roots)[i], records[i]);
  DisposeHandle(reinterpret_cast<Handle>(roots));
  if (err)
    return report({"volume information", err});
  if (args.has("--json")) {
    JSONList json;
    for (const Record &r : records)
      json.add(r);
    json.finish();
    return kOK;
  }
  printHeadings(kVolumeColumns);
  for (const Record &r : records)
    printRow(r, kVolumeColumns);
  return kOK;
}

int mountRecordSize(const Arguments &args) {
  if (args.positional().size() != 1)
    return usage("mount-record-size takes a path on the volume");
  FSRef ref;
  Failure failure;
  if (!resolve(args.positional()[0], ref, failure))
    return report(failure);
  FSVolumeRefNum volume;
  if (OSErr err = FSGetVRefNum(&ref, &volume))
    return report({"FSGetVRefNum", err});
  SInt16 size = 0;
  if (OSErr err = FSGetVolMountInfoSize(volume, &size))
    return report({"FSGetVolMountInfoSize", err});
  print(args, {{"volume", nullptr, Value::number(volume)}, {"size", "", Value::number(size)}});
  return kOK;
}

struct Command {
  const char *name;
  std::vector<std::string> flags, valued;
  std::function<int(const Arguments &)> run;
};

int run(int argc, char **argv) {
  const std::vector<Command> commands = {
      {"info", {"--id", "--json"}, {}, info},
      {"ls", {"--json"}, {}, ls},
      {"walk", {"--json"}, {"--depth"}, walk},
      {"rm", {"--contents"}, {}, rm},
      {"cp", {"--fork"}, {"--name", "--from", "--to", "--buffer"}, cp},
      {"mv", {"--server"}, {"--name"}, mv},
      {"exchange", {}, {}, exchange},
      {"finder", {"--json"}, {"--creator", "--type", "--set", "--clear"}, finder},
      {"lock", {}, {}, [](const Arguments &a) { return setLock(a, true); }},
      {"unlock", {}, {}, [](const Arguments &a) { return setLock(a, false); }},
      {"sizes", {"--json"}, {}, sizes},
      {"volumes", {"--json"}, {}, volumes},
      {"mount-record-size", {"--json"}, {}, mountRecordSize},
  };
  if (argc < 2)
    return usage("no command");
  std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    std::fputs(kUsage, stdout);
    return kOK;
  }
  for (const Command &c : commands) {
    if (name != c.name)
      continue;
    Arguments args(argc - 2, argv + 2, c.flags, c.valued);
    if (!args.error().empty())
      return usage(args.error());
    return c.run(args);
  }
  return usage("unknown command " + name);
}

} // namespace

int main(int argc, char **argv) {
  quillmate::tools::holdStandardDescriptors();
  return quillmate::tools::finishStandardOutput("qmfiles", run(argc, argv));
}
