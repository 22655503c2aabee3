// Test hooks of the preferences.
#ifndef QUILLMATE_PLATFORM_CF_PREFERENCESTESTING_H
#define QUILLMATE_PLATFORM_CF_PREFERENCESTESTING_H

namespace quillmate_cf {

// Drops every cached domain and every pending change.
void forgetPreferencesForTesting();
// How long synchronise waits for a domain's lock before it gives up
// (5000 ms unless changed).
void setLockWaitForTesting(int milliseconds);

} // namespace quillmate_cf

#endif
