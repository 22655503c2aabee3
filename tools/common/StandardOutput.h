// The command-line tools' standard output: a tool that could not write what
// it printed says so and fails instead of reporting success.
#ifndef QUILLMATE_TOOLS_COMMON_STANDARDOUTPUT_H
#define QUILLMATE_TOOLS_COMMON_STANDARDOUTPUT_H

namespace quillmate::tools {

/// Holds each of the descriptors 0, 1 and 2 that is closed with /dev/null
/// opened read-only, before the tool opens anything: no file the tool opens
/// can then take the place of standard output or error and receive what is
/// printed, and a write there fails as it would on the closed descriptor.
void holdStandardDescriptors();

/// Flushes standard output; false, after printing "<tool>: cannot write the
/// output: <reason>" on standard error, when that or an earlier write failed.
bool flushStandardOutput(const char *tool);

/// Flushes and closes standard output.  When that or an earlier write
/// failed, prints "<tool>: cannot write the output: <reason>" on standard
/// error and answers 1 in place of a `status` of 0; otherwise answers
/// `status`.  Call once, at the end.
int finishStandardOutput(const char *tool, int status);

} // namespace quillmate::tools

#endif
