// The record a rename to a temporary name leaves on its object, and the
// settling of such a rename killed part-way.
//
// Callers that move an object under a new name pass it through a temporary
// name (the file utility library's FSMoveRenameObjectUnicode and its
// exchange by renaming: eight hex digits), so that no step meets an object
// of the same name.  A process killed while the object has that name would
// leave it there, under a name its user never gave and that is recorded
// nowhere.  So before FSRenameUnicode gives an object a name that looks
// temporary, it writes a RenameRecord onto it: the name and folder it had,
// and which process is at work (its pid, start time and the boot's ID).  A
// rename of that object to a name that does not look temporary completes
// the record (the rename, then the record's removal).
//
// Whoever lists a folder or looks up a name and meets an object whose name
// looks temporary reads its record (one getxattr, for such names only).
// Unless its writer still runs, the object goes back: into its old folder
// under its old name when that folder is still the one recorded and the
// name is free there, else under its old name where it stands, its `._`
// file with it; and the record goes.
//
// A process that gives an object a temporary-looking name on purpose keeps
// it: the records its calls open stay open only until the thread that opened
// them calls the layer on another object, or the process exits (OpenRenames).
// Where the file system keeps no user attributes nothing is recorded, and a
// kill leaves the temporary name as before.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_RENAMERECORD_H
#define QUILLMATE_PLATFORM_FILEMANAGER_RENAMERECORD_H

#include <CoreServices/Files.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

struct statx;

namespace quillmate::fm {

class NodeTable;
struct Location;
struct Volume;

inline constexpr const char *kRenameAttribute = "user.quillmate.rename";

/// Whether `name` (on disk) looks like a temporary name: exactly eight hex
/// digits.  Only a filter for cost: a name that passes is looked at more
/// closely, one that does not costs nothing.
bool looksTemporary(std::string_view name);

/// A process, told apart from every other that ran on this machine: its
/// pid, its start time (clock ticks after boot, /proc/<pid>/stat) and the
/// boot's ID (/proc/sys/kernel/random/boot_id).
struct ProcessStamp {
  uint32_t pid = 0;
  uint64_t startTime = 0;
  std::array<uint8_t, 16> bootID{};

  /// This process.
  static ProcessStamp self();
  /// Whether the process still runs: same boot, and a process of that pid
  /// that started at that time.  One whose state cannot be read counts as
  /// running.
  bool running() const;
  bool operator==(const ProcessStamp &) const = default;
};

/// What a rename to a temporary name records on its object.
struct RenameRecord {
  uint64_t ino = 0;  // the object it was written for (a copy is not it)
  int64_t birth = 0; // its birth time in nanoseconds, 0 where unknown
  std::string oldName;
  std::string oldFolder; // from the volume's mount point, "" for its root
  uint32_t folderDevMajor = 0, folderDevMinor = 0;
  uint64_t folderIno = 0; // the old folder, so that a settler knows it again
  ProcessStamp writer;

  std::vector<uint8_t> encode() const;
  bool decode(const uint8_t *data, size_t size);
  /// Onto the object `name` of `dirfd` ("" for `dirfd` itself): false when
  /// the file system keeps no user attributes or refuses the record.
  bool write(int dirfd, const char *name) const;
  /// The object's record: false when it has none (one getxattr).
  static bool read(int dirfd, const char *name, RenameRecord &out);
  bool operator==(const RenameRecord &) const = default;
};

/// Before the object of `index`, located at `where` with statx `stx`
/// (kIdentityMask), is renamed to a temporary name: records on it its name
/// and folder now, and this process as the writer.  False when nothing could
/// be recorded (no user attributes there).
bool recordRename(NodeTable &table, uint32_t index, const Location &where,
                  const struct statx &stx);

/// Where settleRename() left the object.
enum class Settled {
  Stayed,  // still at the name it was met at
  Renamed, // its old name, in the same folder
  Left,    // back into its old folder
};

/// Settles the object `name` met in folder `dirfd` of `volume`, whose name
/// looks temporary and whose statx (kIdentityMask) is `stx`: when its rename
/// record was written for it by a process that no longer runs, it goes back
/// to its old name (into its old folder where that is still the folder
/// recorded and the name is free there), with its `._` file, under its flock
/// so that two settlers never both move it, and loses the record.  `now`
/// receives its name when Renamed.  An object whose record its owner alone
/// may remove (the caller may move it, not write it) keeps the record.
Settled settleRename(int dirfd, const char *name, const struct statx &stx, const Volume &volume,
                     std::string &now);

/// The rename records that this process's renames opened and not yet
/// completed, each with the thread that opened it.  A call of the layer that
/// opens a record or works on an object with one of its thread's open
/// records keeps them; any other call of that thread closes them (removes
/// the records), and so does the process's exit.  Part of the node table,
/// under its lock.
class OpenRenames {
public:
  bool empty() const { return open_.empty(); }
  /// A call of the layer begins, or ends (closing what it leaves behind).
  void beginOperation() {
    touched_ = false;
  }
  void endOperation(NodeTable &table) {
    if (!open_.empty() && !touched_)
      closeThreads(table, std::this_thread::get_id());
  }
  /// The call works on the object of `index`.
  void met(uint32_t index) {
    for (const Entry &e : open_)
      touched_ |= e.index == index && e.thread == std::this_thread::get_id();
  }
  bool isOpen(uint32_t index) const;
  /// This call recorded a rename on the object of `index`.
  void opened(uint32_t index);
  /// The object of `index` (located at `where`) has a name that does not
  /// look temporary any more: its record goes.
  void complete(uint32_t index, const Location &where);
  /// Every record this process opened (at exit).
  void closeAll(NodeTable &table);

private:
  struct Entry {
    uint32_t index;
    std::thread::id thread;
    uint32_t pid; // a forked child does not close its parent's
  };
  void closeThreads(NodeTable &table, std::thread::id thread);
  std::vector<Entry> open_;
  bool touched_ = false;
};

} // namespace quillmate::fm

#endif
