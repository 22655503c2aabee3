// Test hooks of the File Manager layer: decorators that sit in front of the
// current FileManager for a scope, and hooks into the POSIX back end.  They
// make the library quillmate_filemanager_testing, which only tests and
// benchmarks link; it is neither installed nor exported.
//
//   FaultInjector faults;                    // installed until it goes away
//   faults.failWhen(callsTo(FMCall::FSRenameUnicode).onObject(file).named(u"final"),
//                   dupFNErr);
//   CallRecorder calls;                      // sees the injected failures too
//   ... code under test ...
//   EXPECT_EQ(calls.names(), (std::vector<std::string>{...}));
//
// A decorator installs itself over whatever was current when it was made and
// puts that back when destroyed; make them in nesting order.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_TESTING_FILEMANAGERTESTING_H
#define QUILLMATE_PLATFORM_FILEMANAGER_TESTING_FILEMANAGERTESTING_H

#include <CoreServices/Files.h>

#include "platform/filemanager/FileManager.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmate::fm::testing {

/// Makes `fd` an open fork and gives its reference number (0 when the table
/// is full).  The table owns the descriptor; closeAdoptedFork closes it.
/// Both live in this library, over the back end's fork table.
FSIORefNum adoptDescriptorAsFork(int fd);
/// Closes a fork opened by adoptDescriptorAsFork; rfNumErr if none.
OSErr closeAdoptedFork(FSIORefNum refNum);

/// PBHCopyFileSync writes into an unnamed file (O_TMPFILE) where the file
/// system has them; false makes it take the hidden temporary name that other
/// file systems get, so that way is tested too.  Defined in the production
/// library (ServerCalls.cpp), beside the switch it sets.
void copyIntoUnnamedFiles(bool unnamed);

/// The descriptors open iterators hold on their folders: how many the node
/// table keeps open at most (a quarter of the descriptor limit unless set),
/// how many are open and given back now, and how many were given back and
/// reopened since the process started.
struct IteratorDescriptors {
  size_t budget = 0;
  size_t open = 0;
  size_t givenBack = 0;
  uint64_t givenBackSoFar = 0;
  uint64_t reopenedSoFar = 0;
};
IteratorDescriptors iteratorDescriptors();
/// Sets that budget (no less than 16); answers the one before.
size_t setIteratorDescriptorBudget(size_t budget);

/// Every call of the File Manager, by its platform name.
enum class FMCall : uint8_t {
#define QM_FM_CALL(Name, ...) Name,
#include "platform/filemanager/FileManagerCalls.def"
};

/// How many calls FMCall names.
inline constexpr size_t kFMCallCount = 0
#define QM_FM_CALL(...) +1
#include "platform/filemanager/FileManagerCalls.def"
    ;

/// The platform's name of `call`, e.g. "FSGetCatalogInfo".
const char *callName(FMCall call);
/// For GoogleTest's messages: the platform's name.
void PrintTo(FMCall call, std::ostream *out);

/// What a decorator sees of one call.  FileManagerCalls.def says, call by
/// call, which fields it fills; the others stay as below.
struct Call {
  FMCall call{};          // which call
  UInt32 bitmap = 0;      // catalog-info or volume-info bitmap; FNNotify's message
  UInt32 flags = 0;       // iterator flags, position mode, fork permissions, text encoding hint
  UInt64 count = 0;       // name length, item count or volume index
  UInt32 nulls = 0;       // bit i set: the i-th pointer argument was null
  const FSRef *ref = nullptr;  // first reference argument (not owned)
  const FSRef *ref2 = nullptr; // second reference argument, where there is one
  SInt64 offset = 0;      // position offset
  FSIORefNum fork = 0;    // fork reference number
  FSVolumeRefNum volume = 0; // volume reference number
  SInt32 dirID = 0;       // directory ID of a parameter block
  /// The name argument of a Unicode call (the name looked up, made or given
  /// by a rename; FSOpenFork's fork name); empty where the call has none, it
  /// is null, or it is longer than a name can be.
  std::u16string unicodeName{};
  /// The one-byte name of a parameter-block call (the object it names; the
  /// volume name of HSetVol), without its length byte.
  std::string oneByteName{};
  OSErr result = noErr;   // filled in after the call (CallRecorder)

  const char *callName() const { return testing::callName(call); }
  bool isNull(unsigned i) const { return nulls & (1u << i); }
};

/// Picks calls by what they were given, for FaultInjector:
///
///   faults.failWhen(callsTo(FMCall::FSMoveObject).onObject(file).into(folder), ioErr);
///
/// A small value; each condition returns a copy with that condition added.
class CallMatcher {
public:
  explicit CallMatcher(FMCall call) : call_(call) {}

  /// The Unicode name argument is `name` (see Call::unicodeName).
  CallMatcher named(std::u16string_view name) const;
  /// A one-byte name is not a Unicode one: say namedOneByte.
  CallMatcher named(const char *) const = delete;
  /// The one-byte name of a parameter-block call is `name`.
  CallMatcher namedOneByte(std::string_view name) const;
  /// The first reference argument names `object` (the reference the layer
  /// keeps for an object through renames and moves: the same 80 bytes).
  CallMatcher onObject(const FSRef &object) const;
  /// The second reference argument is `folder`: FSMoveObject's destination.
  CallMatcher into(const FSRef &folder) const;
  /// The fork reference number is `fork`.
  CallMatcher onFork(FSIORefNum fork) const;
  /// `test` answers true too, for what the conditions above do not say.
  CallMatcher where(std::function<bool(const Call &)> test) const;

  bool matches(const Call &call) const;
  bool operator()(const Call &call) const { return matches(call); }

private:
  FMCall call_;
  std::optional<std::u16string> unicodeName_;
  std::optional<std::string> oneByteName_;
  std::optional<FSRef> object_, folder_;
  std::optional<FSIORefNum> fork_;
  std::function<bool(const Call &)> test_;
};

/// The calls of `call`; add conditions to narrow them.
inline CallMatcher callsTo(FMCall call) { return CallMatcher(call); }

/// Forwards every call to the FileManager that was current when it was made,
/// asking before() first: a status from before() is returned instead of
/// making the call.
class InterceptingFileManager : public FileManager {
public:
  InterceptingFileManager();
  ~InterceptingFileManager() override;

  FileManager &inner() { return *inner_; }

#define QM_FM_CALL(Name, method, Result, Params, Args, ...) Result method Params override;
#include "platform/filemanager/FileManagerCalls.def"

protected:
  virtual std::optional<OSErr> before(const Call &) { return std::nullopt; }
  virtual void after(const Call &, OSErr) {}

private:
  template <class Result, class Forward> Result run(FMCall which, Call call, Forward &&forward);
  FileManager *inner_;
  ScopedFileManager *scope_;
};

/// Makes chosen calls fail with a chosen status without doing anything.
class FaultInjector : public InterceptingFileManager {
public:
  /// Every call that `match` picks (a CallMatcher, or any predicate)
  /// returns `status`.  Predicates are asked in the order they were given,
  /// up to the first that picks the call.
  void failWhen(std::function<bool(const Call &)> match, OSErr status);
  /// The `n`-th call (counting from 1, from now) that `match` picks returns
  /// `status`: for a step that only its place in the order tells apart from
  /// others just like it.
  void failNth(const CallMatcher &match, unsigned n, OSErr status);
  /// The `n`-th call of `call` from now.
  void failNth(FMCall call, unsigned n, OSErr status) { failNth(callsTo(call), n, status); }
  /// Number of calls of `call` seen so far (failed ones included).
  unsigned seen(FMCall call) const { return seen_[static_cast<size_t>(call)]; }
  /// Presents `volume` (0: every volume) as one without a capability:
  /// PBHGetVolParmsSync answers with bit `bit` of vMAttrib clear (of
  /// vMExtendedAttributes when `extended`), and each call that needs the
  /// capability (FileManagerCalls.def says which) answers paramErr on it
  /// without doing anything, as such a volume would.
  void withoutCapability(FSVolumeRefNum volume, int bit, bool extended = false);

  OSErr getVolParms(HParmBlkPtr pb) override;

protected:
  std::optional<OSErr> before(const Call &call) override;

private:
  struct Rule {
    std::function<bool(const Call &)> match;
    unsigned nth = 0;     // 0: every call picked
    unsigned picked = 0;  // calls picked so far, for nth
    OSErr status = noErr;
  };
  struct Capability {
    FSVolumeRefNum volume = 0;
    int bit = 0;
    bool extended = false;
  };
  bool refusedForCapability(const Call &call);
  bool lacks(FSVolumeRefNum volume, int bit, bool extended) const;
  std::vector<Rule> rules_;
  unsigned seen_[kFMCallCount] = {};
  std::vector<Capability> missing_;
};

/// Records every call with its arguments' shape and its result.
class CallRecorder : public InterceptingFileManager {
public:
  const std::vector<Call> &calls() const { return calls_; }
  /// The platform's names of the calls, in order.
  std::vector<std::string> names() const;
  void clear() { calls_.clear(); }

protected:
  void after(const Call &call, OSErr result) override;

private:
  std::vector<Call> calls_;
};

} // namespace quillmate::fm::testing

#endif
