// The option store over the platform's preferences and distributed
// notifications.  It keeps no copy of any value: every read asks the
// platform, every write goes straight through.
#include "pane/OptionStore.h"

Boolean OptionStore::readOption(CFStringRef key) const {
  Boolean on = true;
  CFPropertyListRef value = CFPreferencesCopyAppValue(key, m_appID);
  if (value) {
    if (CFGetTypeID(value) == CFBooleanGetTypeID()) {
      on = CFBooleanGetValue(static_cast<CFBooleanRef>(value));
    }
    CFRelease(value);
  }
  return on;
}

void OptionStore::writeOption(CFStringRef key, Boolean on) const {
  CFPreferencesSetAppValue(key, on ? kCFBooleanTrue : kCFBooleanFalse, m_appID);
  (void)CFPreferencesAppSynchronize(m_appID);
}

void OptionStore::announceChange() const {
  (void)CFPreferencesAppSynchronize(m_appID);
  CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
                                       kQuillmatePreferencesChangedNotification,
                                       kQuillmateNotificationObject, nullptr, true);
}
