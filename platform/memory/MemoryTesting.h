// Test hook of the Memory Manager: make allocations fail on purpose, so that
// the failure paths of code that grows handles can be run.
#ifndef QUILLMATE_PLATFORM_MEMORY_TESTING_H
#define QUILLMATE_PLATFORM_MEMORY_TESTING_H

#include <MacTypes.h>

#include <functional>

namespace quillmate::memory {

/// The Memory Manager calls that allocate.
enum class AllocatingCall { NewHandle, SetHandleSize, PtrAndHand };

/// While an object of this class lives, every allocating call for which the
/// predicate answers true fails with memFullErr and changes nothing.  Scopes
/// nest; the innermost decides.  Not for use from several threads at once.
class AllocationFailureScope {
public:
  using Predicate = std::function<bool(AllocatingCall call, Size requestedBytes)>;

  explicit AllocationFailureScope(Predicate shouldFail);
  ~AllocationFailureScope();
  AllocationFailureScope(const AllocationFailureScope &) = delete;
  AllocationFailureScope &operator=(const AllocationFailureScope &) = delete;

  /// Fails the n-th allocating call (1-based) made while the scope lives.
  static Predicate nthCall(unsigned n);
  /// Fails every allocating call.
  static Predicate everyCall();

private:
  Predicate shouldFail_;
  AllocationFailureScope *outer_;
};

} // namespace quillmate::memory

#endif
