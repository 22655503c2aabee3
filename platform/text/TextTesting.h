// Test hooks of the text layer: make converter creation fail, present a
// chosen system script and region, and stop the clock at a chosen instant, so
// that callers' failure and fallback paths run on the real converters.  Not
// for use from several threads.
#ifndef QUILLMATE_PLATFORM_TEXT_TESTING_H
#define QUILLMATE_PLATFORM_TEXT_TESTING_H

#include <MacTypes.h>
#include <CoreServices/MacErrors.h>
#include <CoreServices/UTCUtils.h>

#include <vector>

namespace quillmate::text::testing {

/// While an object lives, CreateUnicodeToTextInfo and CreateTextToUnicodeInfo
/// (and so the name conversions of NameConversion.h) fail with `status`,
/// starting at the `firstFailingCall`-th creation (1-based) made in the scope.
/// Scopes nest; the innermost decides.
class ConverterCreationFailureScope {
public:
  explicit ConverterCreationFailureScope(OSStatus status = kTECNoConversionPathErr,
                                         unsigned firstFailingCall = 1);
  ~ConverterCreationFailureScope();
  ConverterCreationFailureScope(const ConverterCreationFailureScope &) = delete;
  ConverterCreationFailureScope &operator=(const ConverterCreationFailureScope &) = delete;

  /// The status the next creation must fail with, or noErr; counts the call.
  static OSStatus nextCreation();

private:
  OSStatus status_;
  unsigned callsLeftBeforeFailing_;
  ConverterCreationFailureScope *outer_;
};

/// While an object lives, GetScriptManagerVariable answers these values for
/// smSysScript (and smKeyScript) and smRegionCode instead of the locale's;
/// any value passes, out of range ones included.
class ScriptVariablesOverride {
public:
  ScriptVariablesOverride(SInt32 systemScript, SInt32 region);
  ~ScriptVariablesOverride();
  ScriptVariablesOverride(const ScriptVariablesOverride &) = delete;
  ScriptVariablesOverride &operator=(const ScriptVariablesOverride &) = delete;

  SInt32 systemScript() const { return systemScript_; }
  SInt32 region() const { return region_; }
  /// The innermost override, or null.
  static const ScriptVariablesOverride *current();

private:
  SInt32 systemScript_, region_;
  const ScriptVariablesOverride *outer_;
};

/// While an object lives, records the codes of every call of
/// UpgradeScriptInfoToTextEncoding and its result, and makes chosen calls
/// fail with a chosen status (without writing the encoding), so that a
/// caller's fallback order can be pinned.  Scopes nest; the innermost sees
/// the calls.
class EncodingChoiceRecorder {
public:
  struct Call {
    ScriptCode script;
    LangCode language;
    RegionCode region;
    OSStatus result;
  };

  EncodingChoiceRecorder();
  ~EncodingChoiceRecorder();
  EncodingChoiceRecorder(const EncodingChoiceRecorder &) = delete;
  EncodingChoiceRecorder &operator=(const EncodingChoiceRecorder &) = delete;

  /// The `n`-th call from now (1-based) answers `status`.
  void failNth(unsigned n, OSStatus status) { failures_.push_back({n, status}); }
  const std::vector<Call> &calls() const { return calls_; }

  /// The innermost recorder, or null.
  static EncodingChoiceRecorder *current();
  /// The status the call being made must answer instead of its own, or
  /// noErr; counts the call.
  OSStatus injected();
  void record(const Call &call) { calls_.push_back(call); }

private:
  struct Failure {
    unsigned nth;
    OSStatus status;
  };
  std::vector<Failure> failures_;
  std::vector<Call> calls_;
  unsigned seen_ = 0;
  EncodingChoiceRecorder *outer_;
};

/// While an object lives, GetUTCDateTime answers `now` instead of the system
/// clock (its argument checks stay), so that what a caller does at one exact
/// instant (the same second as a stored date, the end of 32-bit seconds) can
/// be run.  Scopes nest; the innermost decides.
class ClockOverride {
public:
  explicit ClockOverride(const UTCDateTime &now);
  ~ClockOverride();
  ClockOverride(const ClockOverride &) = delete;
  ClockOverride &operator=(const ClockOverride &) = delete;

  UTCDateTime now() const { return now_; }
  /// The innermost override, or null.
  static const ClockOverride *current();

private:
  UTCDateTime now_;
  const ClockOverride *outer_;
};

} // namespace quillmate::text::testing

#endif
