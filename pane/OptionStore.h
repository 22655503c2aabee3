// The option store: reads and writes the product's two options in its
// preference domain, and tells other processes when the user is done.
//
// The identifiers below are shared with the product's other components,
// which read the same domain and listen for the same notification.  They are
// compile-time constants: never retained, released or copied.
#ifndef QUILLMATE_PANE_OPTIONSTORE_H
#define QUILLMATE_PANE_OPTIONSTORE_H

#include <CoreFoundation/CoreFoundation.h>

// The preference domain: "com", maker, product.
inline constexpr CFStringRef kQuillmateApplicationID = CFSTR("com.quillworks.quillmate");
// The object of the change notification: "com", maker, "preference", product.
inline constexpr CFStringRef kQuillmateNotificationObject =
    CFSTR("com.quillworks.preference.quillmate");
inline constexpr CFStringRef kQuillmatePreferencesChangedNotification =
    CFSTR("Preferences Changed");

// The option keys; each holds a boolean, and reads as on when absent.
inline constexpr CFStringRef kIncludeLineFeedKey = CFSTR("IncludeLineFeed");
inline constexpr CFStringRef kOpenFileKey = CFSTR("OpenFile");

class OptionStore {
public:
  // appID names the domain; it must outlive the store (a constant does).
  explicit OptionStore(CFStringRef appID) : m_appID(appID) {}

  // On when the key holds kCFBooleanTrue, off when it holds kCFBooleanFalse,
  // and on when it is absent or holds any other type.  Never writes.
  Boolean readOption(CFStringRef key) const;
  // Stores the boolean and synchronises the domain before returning.  A
  // failed synchronisation is not reported.
  void writeOption(CFStringRef key, Boolean on) const;
  // Synchronises the domain, then posts "Preferences Changed" with the
  // notification object, no user information, delivered immediately.
  void announceChange() const;

private:
  CFStringRef m_appID;
};

#endif
