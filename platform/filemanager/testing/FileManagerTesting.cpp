#include "platform/filemanager/testing/FileManagerTesting.h"

#include "platform/filemanager/ForkTable.h"
#include "platform/filemanager/NodeTable.h"
#include "platform/filemanager/Syscalls.h"

#include <cstring>
#include <ostream>

namespace quillmate::fm::testing {

FSIORefNum adoptDescriptorAsFork(int fd) {
  ForkEntry entry;
  entry.fd = fd;
  return ForkTable::shared().insert(std::move(entry));
}

OSErr closeAdoptedFork(FSIORefNum refNum) {
  ForkEntry entry;
  if (!ForkTable::shared().remove(refNum, entry))
    return rfNumErr;
  sys::close(entry.fd);
  return noErr;
}

IteratorDescriptors iteratorDescriptors() {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  const IteratorFolders &folders = table.iteratorFolders();
  return IteratorDescriptors{folders.budget(), folders.open(), folders.suspended(),
                             folders.suspensions(), folders.resumptions()};
}

size_t setIteratorDescriptorBudget(size_t budget) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  const size_t before = table.iteratorFolders().budget();
  table.setIteratorBudget(budget);
  return before;
}

// --- The table of calls ----------------------------------------------------------

namespace {

/// A bit of a volume's attributes that a call needs; bit -1: none.
struct VolumeAttribute {
  int bit = -1;
  bool extended = false; // of vMExtendedAttributes, else of vMAttrib
};
constexpr VolumeAttribute kAnyVolume{};
constexpr VolumeAttribute attribute(int bit) { return {bit, false}; }
constexpr VolumeAttribute extendedAttribute(int bit) { return {bit, true}; }

struct CallFacts {
  const char *name;
  VolumeAttribute needs;
  /// A parameter-block call acts on the volume its block names; any other
  /// call on the volume of its first reference.
  bool block;
};

constexpr CallFacts kCalls[] = {
#define QM_FM_CALL(Name, method, Result, Params, Args, needs, ...) {#Name, needs, false},
#define QM_FM_BLOCK_CALL(Name, method, Block, needs, ...) {#Name, needs, true},
#include "platform/filemanager/FileManagerCalls.def"
};
static_assert(std::size(kCalls) == kFMCallCount);

const CallFacts &factsOf(FMCall call) { return kCalls[static_cast<size_t>(call)]; }

// Helpers of the records in FileManagerCalls.def.

template <class... Pointer> UInt32 nullMask(Pointer... pointers) {
  UInt32 mask = 0, bit = 1;
  ((mask |= pointers ? 0 : bit, bit <<= 1), ...);
  return mask;
}

UInt64 pascalLength(ConstStringPtr s) { return s ? s[0] : 0; }

std::string oneByte(ConstStringPtr s) {
  return s ? std::string(reinterpret_cast<const char *>(s + 1), s[0]) : std::string();
}

/// Read only as far as the call itself may: a length over a name's longest
/// is refused before the name is read.
std::u16string utf16(const UniChar *name, UniCharCount length) {
  if (!name || length > 255)
    return {};
  return std::u16string(reinterpret_cast<const char16_t *>(name), length);
}

} // namespace

const char *callName(FMCall call) { return factsOf(call).name; }

void PrintTo(FMCall call, std::ostream *out) { *out << callName(call); }

// --- CallMatcher -----------------------------------------------------------------

CallMatcher CallMatcher::named(std::u16string_view name) const {
  CallMatcher m = *this;
  m.unicodeName_ = std::u16string(name);
  return m;
}

CallMatcher CallMatcher::namedOneByte(std::string_view name) const {
  CallMatcher m = *this;
  m.oneByteName_ = std::string(name);
  return m;
}

CallMatcher CallMatcher::onObject(const FSRef &object) const {
  CallMatcher m = *this;
  m.object_ = object;
  return m;
}

CallMatcher CallMatcher::into(const FSRef &folder) const {
  CallMatcher m = *this;
  m.folder_ = folder;
  return m;
}

CallMatcher CallMatcher::onFork(FSIORefNum fork) const {
  CallMatcher m = *this;
  m.fork_ = fork;
  return m;
}

CallMatcher CallMatcher::where(std::function<bool(const Call &)> test) const {
  CallMatcher m = *this;
  m.test_ = std::move(test);
  return m;
}

namespace {
bool sameRef(const FSRef *given, const std::optional<FSRef> &wanted) {
  return !wanted || (given && std::memcmp(given, &*wanted, sizeof(FSRef)) == 0);
}
} // namespace

bool CallMatcher::matches(const Call &call) const {
  return call.call == call_ && (!unicodeName_ || call.unicodeName == *unicodeName_) &&
         (!oneByteName_ || call.oneByteName == *oneByteName_) && sameRef(call.ref, object_) &&
         sameRef(call.ref2, folder_) && (!fork_ || call.fork == *fork_) &&
         (!test_ || test_(call));
}

// --- InterceptingFileManager -----------------------------------------------------

InterceptingFileManager::InterceptingFileManager()
    : inner_(&current()), scope_(new ScopedFileManager(*this)) {}

InterceptingFileManager::~InterceptingFileManager() { delete scope_; }

template <class Result, class Forward>
Result InterceptingFileManager::run(FMCall which, Call call, Forward &&forward) {
  call.call = which;
  if (std::optional<OSErr> forced = before(call)) {
    after(call, *forced);
    return *forced;
  }
  const Result result = forward();
  after(call, static_cast<OSErr>(result));
  return result;
}

#define QM_FM_CALL(Name, method, Result, Params, Args, needs, ...)                                \
  Result InterceptingFileManager::method Params {                                                  \
    return run<Result>(FMCall::Name, Call{__VA_ARGS__}, [&] { return inner_->method Args; });      \
  }
#define QM_FM_BLOCK_CALL(Name, method, Block, needs, ...)                                         \
  OSErr InterceptingFileManager::method(Block pb) {                                                \
    return run<OSErr>(FMCall::Name, pb ? Call{__VA_ARGS__} : Call{.nulls = 1},                     \
                      [&] { return inner_->method(pb); });                                         \
  }
#include "platform/filemanager/FileManagerCalls.def"

// --- FaultInjector ---------------------------------------------------------------

void FaultInjector::failWhen(std::function<bool(const Call &)> match, OSErr status) {
  rules_.push_back(Rule{std::move(match), 0, 0, status});
}

void FaultInjector::failNth(const CallMatcher &match, unsigned n, OSErr status) {
  rules_.push_back(Rule{match, n, 0, status});
}

std::optional<OSErr> FaultInjector::before(const Call &call) {
  ++seen_[static_cast<size_t>(call.call)];
  // Rules counting calls see every call they pick, even one that an
  // earlier rule fails; other predicates are asked only until one fails it.
  std::optional<OSErr> forced;
  for (Rule &rule : rules_) {
    if (forced && rule.nth == 0)
      continue;
    if (!rule.match(call))
      continue;
    if ((rule.nth == 0 || ++rule.picked == rule.nth) && !forced)
      forced = rule.status;
  }
  if (forced)
    return forced;
  if (refusedForCapability(call))
    return paramErr;
  return std::nullopt;
}

bool FaultInjector::refusedForCapability(const Call &call) {
  const CallFacts &facts = factsOf(call.call);
  if (missing_.empty() || facts.needs.bit < 0)
    return false;
  FSVolumeRefNum volume = call.volume;
  if (!facts.block) {
    FSCatalogInfo info;
    if (!call.ref || inner().getCatalogInfo(call.ref, kFSCatInfoVolume, &info, nullptr, nullptr,
                                            nullptr) != noErr)
      return false;
    volume = info.volume;
  }
  return lacks(volume, facts.needs.bit, facts.needs.extended);
}

void FaultInjector::withoutCapability(FSVolumeRefNum volume, int bit, bool extended) {
  missing_.push_back(Capability{volume, bit, extended});
}

bool FaultInjector::lacks(FSVolumeRefNum volume, int bit, bool extended) const {
  for (const Capability &m : missing_)
    if (m.bit == bit && m.extended == extended && (m.volume == 0 || m.volume == volume))
      return true;
  return false;
}

OSErr FaultInjector::getVolParms(HParmBlkPtr pb) {
  OSErr err = InterceptingFileManager::getVolParms(pb);
  if (err != noErr || missing_.empty())
    return err;
  // Clear the bits in whatever part of the buffer the call filled.
  auto *buffer = reinterpret_cast<GetVolParmsInfoBuffer *>(pb->ioParam.ioBuffer);
  const SInt32 filled = pb->ioParam.ioActCount;
  for (const Capability &m : missing_) {
    if (m.volume != 0 && m.volume != pb->ioParam.ioVRefNum)
      continue;
    const size_t end = m.extended ? offsetof(GetVolParmsInfoBuffer, vMExtendedAttributes) + 4
                                  : offsetof(GetVolParmsInfoBuffer, vMAttrib) + 4;
    if (filled < static_cast<SInt32>(end))
      continue;
    SInt32 *field = m.extended ? &buffer->vMExtendedAttributes : &buffer->vMAttrib;
    SInt32 bits;
    std::memcpy(&bits, field, sizeof bits); // the record is packed
    bits &= ~static_cast<SInt32>(1u << m.bit);
    std::memcpy(field, &bits, sizeof bits);
  }
  return err;
}

// --- CallRecorder ----------------------------------------------------------------

void CallRecorder::after(const Call &call, OSErr result) {
  calls_.push_back(call);
  calls_.back().result = result;
}

std::vector<std::string> CallRecorder::names() const {
  std::vector<std::string> out;
  for (const Call &c : calls_)
    out.push_back(c.callName());
  return out;
}

} // namespace quillmate::fm::testing
