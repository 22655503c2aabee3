// qmfiles: the file utility library from a shell.  Each command is one or a
// few of the library's operations on the paths it is given; see usage below.
//
// Exit status: 0 on success, 1 when an operation failed (its status is
// printed by name and number on standard error), 2 for a command line that
// cannot be understood.
#include <FileUtilities.h>

#include "tools/qmfiles/Output.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <sys/statvfs.h>
#include <thread>
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
    "FLAGS: a comma-separated list of invisible, name-locked, stationery, custom-icon.\n";

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

std::string bytesText(UInt64 n) { return std::to_string(n); }

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

int info(const Arguments &args) {
  if (args.positional().size() != 1)
    return usage("info takes one path");
  const std::string &path = args.positional()[0];
  FSRef ref;
  Failure failure;
  if (!resolve(path, ref, failure))
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
  // The one-byte name in the system script, as the library makes it.
  Str31 hfs;
  OSErr hfsStatus = UnicodeNameGetHFSName(name.length, name.unicode, kTextEncodingUnknown,
                                          !hasParent, hfs);
  HFSUniStr255 hfsBack{};
  if (hfsStatus == noErr)
    HFSNameGetUnicodeName(hfs, kTextEncodingUnknown, &hfsBack);
  // A file ID is made only when asked for: making one marks the file.
  std::string fileID = "-";
  if (args.has("--id")) {
    SInt32 id = 0;
    OSErr err = FSCreateFileIDRef(&ref, &id);
    if (err == noErr || err == fidExists || err == afpIDExists)
      fileID = std::to_string(static_cast<UInt32>(id));
    else if (err != notAFileErr)
      return report({"FSCreateFileIDRef", err});
  }

  std::string full = pathOf(ref), parentPath = hasParent ? pathOf(parent) : "";
  if (args.has("--json")) {
    std::printf("{\"path\": %s, \"name\": %s, \"hfsName\": %s, \"hfsNameBytes\": %s, "
                "\"hfsNameStatus\": %d, \"nodeID\": %" PRIu32 ", \"directory\": %s, "
                "\"parent\": %s, \"fileID\": %s}\n",
                jsonString(full).c_str(), jsonString(utf8(name)).c_str(),
                jsonString(utf8(hfsBack)).c_str(), jsonString(hfsHex(hfs)).c_str(), hfsStatus,
                static_cast<UInt32>(nodeID), isDirectory ? "true" : "false",
                hasParent ? jsonString(parentPath).c_str() : "null",
                fileID == "-" ? "null" : fileID.c_str());
    return kOK;
  }
  std::printf("path       %s\n", full.c_str());
  std::printf("name       %s\n", utf8(name).c_str());
  if (hfsStatus == noErr)
    std::printf("HFS name   %s (%s)\n", utf8(hfsBack).c_str(), hfsHex(hfs).c_str());
  else
    std::printf("HFS name   none: %s\n", statusText(hfsStatus).c_str());
  std::printf("node ID    %" PRIu32 "\n", static_cast<UInt32>(nodeID));
  std::printf("directory  %s\n", isDirectory ? "yes" : "no");
  std::printf("parent     %s\n", hasParent ? parentPath.c_str() : "none (a volume's root)");
  if (args.has("--id"))
    std::printf("file ID    %s\n", fileID == "-" ? "none (a folder)" : fileID.c_str());
  return kOK;
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
  bool json = args.has("--json");
  if (json)
    std::printf("[");
  int status = kOK;
  for (ItemCount i = 0; i < count; ++i) {
    FSRef item = (*items)[i];
    FSCatalogInfo catalog;
    HFSUniStr255 name;
    OSErr err = FSGetCatalogInfo(&item, kFSCatInfoNodeFlags | kFSCatInfoNodeID | kFSCatInfoDataSizes,
                                 &catalog, &name, nullptr, nullptr);
    if (err != noErr) {
      status = report({"FSGetCatalogInfo", err}); // gone since it was listed
      continue;
    }
    bool isDirectory = catalog.nodeFlags & kFSNodeIsDirectoryMask;
    UInt32 id = catalog.nodeID;
    UInt64 size = catalog.dataLogicalSize;
    if (json)
      std::printf("%s\n {\"name\": %s, \"nodeID\": %" PRIu32 ", \"directory\": %s%s}",
                  i ? "," : "", jsonString(utf8(name)).c_str(), id,
                  isDirectory ? "true" : "false",
                  isDirectory ? "" : (", \"size\": " + bytesText(size)).c_str());
    else
      std::printf("%s %10" PRIu32 " %12s  %s\n", isDirectory ? "d" : "-", id,
                  isDirectory ? "" : bytesText(size).c_str(), utf8(name).c_str());
  }
  if (json)
    std::printf("%s]\n", count ? "\n" : "");
  DisposeHandle(reinterpret_cast<Handle>(items));
  return status;
}

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
  state.names.push_back(utf8(*name));
  std::string path = state.names[0];
  for (size_t d = 1; d <= depth; ++d) {
    if (path.empty() || path.back() != '/')
      path += '/';
    path += state.names[d];
  }
  bool isDirectory = info->nodeFlags & kFSNodeIsDirectoryMask;
  UInt32 id = info->nodeID;
  state.progress->beforeOutput();
  if (state.json)
    std::printf("{\"depth\": %lu, \"nodeID\": %" PRIu32 ", \"directory\": %s, \"path\": %s}\n",
                depth, id, isDirectory ? "true" : "false", jsonString(path).c_str());
  else
    std::printf("%3lu %10" PRIu32 "  %s%s\n", depth, id, path.c_str(), isDirectory ? "/" : "");
  state.progress->update(++state.items);
  return false;
}

int walk(const Arguments &args) {
  if (args.positional().size() != 1)
    return usage("walk takes one folder");
  char *end = nullptr;
  std::string depthText = args.value("--depth", "0");
  errno = 0;
  unsigned long depth = std::strtoul(depthText.c_str(), &end, 10);
  if (depthText.empty() || *end || errno || depthText[0] == '-')
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

/// Counts the objects freed on the file system holding `path` while a
/// deletion runs: the deletion is one call, and the free inode count is what
/// shows its progress from outside.
class DeletionProgress {
public:
  explicit DeletionProgress(const std::string &path) : progress_("items") {
    struct statvfs st;
    if (!progress_.enabled() || ::statvfs(path.c_str(), &st) != 0 || st.f_files == 0)
      return;
    thread_ = std::thread([this, path, start = st.f_ffree] {
      while (!done_.load()) {
        struct statvfs now;
        if (::statvfs(path.c_str(), &now) == 0 && now.f_ffree >= start)
          progress_.update(now.f_ffree - start);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      progress_.hide();
    });
  }
  ~DeletionProgress() {
    done_ = true;
    if (thread_.joinable())
      thread_.join();
  }

private:
  Progress progress_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

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
    DeletionProgress progress(path);
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

int copyFork(const Arguments &args) {
  HFSUniStr255 fromName, toName;
  if (!forkName(args.value("--from", "data"), fromName) ||
      !forkName(args.value("--to", "data"), toName))
    return usage("--from and --to take data or rsrc");
  std::string bufferText = args.value("--buffer", "1048576");
  char *end = nullptr;
  errno = 0;
  unsigned long long bufferSize = std::strtoull(bufferText.c_str(), &end, 10);
  if (bufferText.empty() || *end || errno || bufferText[0] == '-' || bufferSize == 0 ||
      bufferSize > (1ull << 30))
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
  SInt64 total = 0;
  FSGetForkSize(in, &total);
  std::vector<char> buffer(bufferSize);
  OSErr err;
  {
    // The copy is one call; the destination's mark shows how far it is.
    Progress progress("bytes");
    std::atomic<bool> done{false};
    std::thread watcher;
    if (progress.enabled() && total >= (64 << 20))
      watcher = std::thread([&] {
        while (!done.load()) {
          SInt64 position = 0;
          if (FSGetForkPosition(out, &position) == noErr)
            progress.update(static_cast<uint64_t>(position), static_cast<uint64_t>(total));
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        progress.hide();
      });
    err = FSCopyFork(in, out, buffer.data(), buffer.size());
    done = true;
    if (watcher.joinable())
      watcher.join();
  }
  OSErr closeOut = FSCloseFork(out);
  FSCloseFork(in);
  if (err)
    return report({"FSCopyFork", err});
  if (closeOut)
    return report({"FSCloseFork", closeOut});
  return kOK;
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
  std::u16string name = utf16(args.value("--name"));
  FSRef copy;
  OSErr err = FSCopyFile(&source, &folder, name.size(),
                         args.has("--name") ? reinterpret_cast<const UniChar *>(name.data()) : nullptr,
                         kTextEncodingUnknown, &copy);
  if (err)
    return report({"FSCopyFile", err});
  std::printf("%s\n", pathOf(copy).c_str());
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
  std::printf("%s\n", pathOf(moved).c_str());
  return kOK;
}

/// Whether the volume of `ref` exchanges natively, asked as the library asks.
bool exchangesNatively(const FSRef &ref) {
  FSVolumeRefNum volume;
  GetVolParmsInfoBuffer parms{};
  UInt32 size = 0;
  return FSGetVRefNum(&ref, &volume) == noErr &&
         FSGetVolParms(volume, sizeof parms, &parms, &size) == noErr && parms.vMVersion > 2 &&
         (parms.vMExtendedAttributes & (1L << bSupportsFSExchangeObjects)) != 0;
}

int exchange(const Arguments &args) {
  if (args.positional().size() != 2)
    return usage("exchange takes two files");
  FSRef a, b;
  Failure failure;
  if (!resolve(args.positional()[0], a, failure) || !resolve(args.positional()[1], b, failure))
    return report(failure);
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

/// The flags of a comma-separated list, or null for an unknown name.
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

int finder(const Arguments &args) {
  if (args.positional().size() != 1)
    return usage("finder takes one path");
  OSType creator = 0, type = 0;
  if ((args.has("--creator") && !parseCode(args.value("--creator"), creator)) ||
      (args.has("--type") && !parseCode(args.value("--type"), type)))
    return usage("--creator and --type take four characters");
  std::vector<const FlagName *> set, clear;
  if ((args.has("--set") && !parseFlags(args.value("--set"), set)) ||
      (args.has("--clear") && !parseFlags(args.value("--clear"), clear)))
    return usage("unknown Finder flag (invisible, name-locked, stationery, custom-icon)");
  FSRef ref;
  Failure failure;
  if (!resolve(args.positional()[0], ref, failure))
    return report(failure);
  if (creator || type)
    if (OSErr err = FSChangeCreatorType(&ref, creator, type))
      return report({"FSChangeCreatorType", err});
  for (const FlagName *f : set)
    if (OSErr err = f->set(&ref))
      return report({std::string("setting ") + f->name, err});
  for (const FlagName *f : clear)
    if (OSErr err = f->clear(&ref))
      return report({std::string("clearing ") + f->name, err});

  FinderInfo info;
  Boolean isDirectory = false;
  if (OSErr err = FSGetFinderInfo(&ref, &info, nullptr, &isDirectory))
    return report({"FSGetFinderInfo", err});
  UInt16 flags = isDirectory ? info.folder.finderFlags : info.file.finderFlags;
  std::vector<std::string> names;
  for (const FlagName &f : kFlags)
    if (flags & f.bit)
      names.push_back(f.name);
  OSErr lock = FSCheckLock(&ref);
  const char *locked = lock == fLckdErr ? "yes" : lock == noErr ? "no" : "volume";
  if (args.has("--json")) {
    std::string list;
    for (const std::string &n : names)
      list += (list.empty() ? "" : ", ") + jsonString(n);
    std::printf("{\"directory\": %s, \"creator\": %s, \"type\": %s, \"flags\": %u, "
                "\"flagNames\": [%s], \"locked\": %s}\n",
                isDirectory ? "true" : "false",
                isDirectory ? "null" : jsonString(codeText(info.file.fileCreator, 4)).c_str(),
                isDirectory ? "null" : jsonString(codeText(info.file.fileType, 4)).c_str(), flags,
                list.c_str(), jsonString(locked).c_str());
    return kOK;
  }
  if (!isDirectory) {
    std::printf("creator  '%s'\n", codeText(info.file.fileCreator, 4).c_str());
    std::printf("type     '%s'\n", codeText(info.file.fileType, 4).c_str());
  }
  std::string list;
  for (const std::string &n : names)
    list += (list.empty() ? "" : ", ") + n;
  std::printf("flags    0x%04X%s%s\n", flags, list.empty() ? "" : " ", list.c_str());
  std::printf("locked   %s%s\n", locked,
              lock != noErr && lock != fLckdErr ? (" (" + statusText(lock) + ")").c_str() : "");
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
  if (args.has("--json")) {
    std::printf("{\"data\": %llu, \"resource\": %llu, \"totalLogical\": %llu, "
                "\"totalPhysical\": %llu, \"forks\": %lu}\n",
                data, rsrc, logical, physical, forks);
    return kOK;
  }
  std::printf("data fork       %llu\n", data);
  std::printf("resource fork   %llu\n", rsrc);
  std::printf("total logical   %llu\n", logical);
  std::printf("total physical  %llu\n", physical);
  std::printf("forks           %lu\n", forks);
  return kOK;
}

// --- volumes --------------------------------------------------------------------------

struct VolumeRow {
  FSVolumeRefNum volume = 0;
  std::string name, mountPoint;
  UInt64 total = 0, free = 0;
  bool hardwareLocked = false, softwareLocked = false;
  UInt16 fileSystemID = 0, signature = 0;
};

std::string signatureText(UInt16 signature) { return codeText(signature, 2); }

int volumes(const Arguments &args) {
  if (!args.positional().empty())
    return usage("volumes takes no arguments");
  FSRef **roots = nullptr;
  ItemCount count = 0;
  if (OSErr err = FSGetMountedVolumes(&roots, &count))
    return report({"FSGetMountedVolumes", err});
  std::vector<VolumeRow> rows;
  OSErr err = noErr;
  for (ItemCount i = 0; i < count && !err; ++i) {
    FSRef root = (*roots)[i];
    VolumeRow row;
    HFSUniStr255 name;
    FSVolumeInfo info;
    if ((err = FSGetVRefNum(&root, &row.volume)) ||
        (err = FSGetVInfo(row.volume, &name, &row.free, &row.total)) ||
        (err = FSGetVolFileSystemID(row.volume, &row.fileSystemID, &row.signature)) ||
        (err = FSGetVolumeInfo(row.volume, 0, nullptr, kFSVolInfoFlags, &info, nullptr, nullptr)))
      break;
    row.name = utf8(name);
    row.mountPoint = pathOf(root);
    row.hardwareLocked = info.flags & kFSVolFlagHardwareLockedMask;
    row.softwareLocked = info.flags & kFSVolFlagSoftwareLockedMask;
    rows.push_back(row);
  }
  DisposeHandle(reinterpret_cast<Handle>(roots));
  if (err)
    return report({"volume information", err});
  if (args.has("--json")) {
    std::printf("[");
    for (size_t i = 0; i < rows.size(); ++i) {
      const VolumeRow &r = rows[i];
      std::printf("%s\n {\"volume\": %d, \"name\": %s, \"mountPoint\": %s, \"totalBytes\": %llu, "
                  "\"freeBytes\": %llu, \"hardwareLocked\": %s, \"softwareLocked\": %s, "
                  "\"fileSystemID\": %u, \"signature\": %s}",
                  i ? "," : "", r.volume, jsonString(r.name).c_str(),
                  jsonString(r.mountPoint).c_str(), r.total, r.free,
                  r.hardwareLocked ? "true" : "false", r.softwareLocked ? "true" : "false",
                  r.fileSystemID, jsonString(signatureText(r.signature)).c_str());
    }
    std::printf("%s]\n", rows.empty() ? "" : "\n");
    return kOK;
  }
  std::printf("%6s  %-16s %16s %16s  %-5s %6s %4s  %s\n", "volume", "name", "total bytes",
              "free bytes", "locks", "fs ID", "sig", "mount point");
  for (const VolumeRow &r : rows) {
    std::string locks = std::string(r.hardwareLocked ? "hw" : "") +
                        (r.hardwareLocked && r.softwareLocked ? "," : "") +
                        (r.softwareLocked ? "sw" : "");
    std::printf("%6d  %-16s %16llu %16llu  %-5s %6u %4s  %s\n", r.volume, r.name.c_str(), r.total,
                r.free, locks.empty() ? "-" : locks.c_str(), r.fileSystemID,
                signatureText(r.signature).c_str(), r.mountPoint.c_str());
  }
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
  if (args.has("--json"))
    std::printf("{\"volume\": %d, \"size\": %d}\n", volume, size);
  else
    std::printf("%d\n", size);
  return kOK;
}

struct Command {
  const char *name;
  std::vector<std::string> flags, valued;
  std::function<int(const Arguments &)> run;
};

} // namespace

int main(int argc, char **argv) {
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
