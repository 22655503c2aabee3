// Test hook of the preferences: makes this process behave as a fresh one.
#ifndef QUILLMATE_PLATFORM_CF_PREFERENCESTESTING_H
#define QUILLMATE_PLATFORM_CF_PREFERENCESTESTING_H

namespace quillmate_cf {

// Drops every cached domain and every pending change.
void forgetPreferencesForTesting();

} // namespace quillmate_cf

#endif
