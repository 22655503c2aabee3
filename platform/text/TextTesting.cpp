// The test hooks' state: the innermost scope of each kind.
#include "platform/text/TextTesting.h"

namespace quillmate::text::testing {
namespace {
ConverterCreationFailureScope *innermostFailure = nullptr;
const ScriptVariablesOverride *innermostOverride = nullptr;
EncodingChoiceRecorder *innermostRecorder = nullptr;
const ClockOverride *innermostClock = nullptr;
} // namespace

ConverterCreationFailureScope::ConverterCreationFailureScope(OSStatus status,
                                                             unsigned firstFailingCall)
    : status_(status), callsLeftBeforeFailing_(firstFailingCall ? firstFailingCall - 1 : 0),
      outer_(innermostFailure) {
  innermostFailure = this;
}

ConverterCreationFailureScope::~ConverterCreationFailureScope() { innermostFailure = outer_; }

OSStatus ConverterCreationFailureScope::nextCreation() {
  ConverterCreationFailureScope *scope = innermostFailure;
  if (!scope)
    return noErr;
  if (scope->callsLeftBeforeFailing_ > 0) {
    --scope->callsLeftBeforeFailing_;
    return noErr;
  }
  return scope->status_;
}

ScriptVariablesOverride::ScriptVariablesOverride(SInt32 systemScript, SInt32 region)
    : systemScript_(systemScript), region_(region), outer_(innermostOverride) {
  innermostOverride = this;
}

ScriptVariablesOverride::~ScriptVariablesOverride() { innermostOverride = outer_; }

const ScriptVariablesOverride *ScriptVariablesOverride::current() { return innermostOverride; }

EncodingChoiceRecorder::EncodingChoiceRecorder() : outer_(innermostRecorder) {
  innermostRecorder = this;
}

EncodingChoiceRecorder::~EncodingChoiceRecorder() { innermostRecorder = outer_; }

EncodingChoiceRecorder *EncodingChoiceRecorder::current() { return innermostRecorder; }

OSStatus EncodingChoiceRecorder::injected() {
  ++seen_;
  for (const Failure &f : failures_)
    if (f.nth == seen_)
      return f.status;
  return noErr;
}

ClockOverride::ClockOverride(const UTCDateTime &now) : now_(now), outer_(innermostClock) {
  innermostClock = this;
}

ClockOverride::~ClockOverride() { innermostClock = outer_; }

const ClockOverride *ClockOverride::current() { return innermostClock; }

} // namespace quillmate::text::testing
