// User information of a distributed notification on the wire: a CF
// dictionary with string keys as the signal's a{sv} argument.
//
//   CFString  s        CFBoolean  b        CFNumber  x (integer) or d (real)
//   CFData    ay       CFArray    av       CFDictionary  a{sv}
#ifndef QUILLMATE_PLATFORM_CF_NOTIFY_NOTIFICATIONUSERINFO_H
#define QUILLMATE_PLATFORM_CF_NOTIFY_NOTIFICATIONUSERINFO_H

#include <CoreFoundation/CFNotificationCenter.h>

struct sd_bus_message;

#include <string>

namespace quillmate::notify {

// The UTF-8 form of a string for the wire.  False when it has none (an
// unpaired surrogate) or holds U+0000, which D-Bus strings cannot carry.
bool wireText(CFStringRef string, std::string& text);

// A Bus::UserInfoWriter: appends the entries of the CFDictionaryRef `context`
// (which may be null) into the open a{sv} container.  Returns -EINVAL when a
// key is not a string or a value has no wire form.
int writeUserInfo(const void* context, sd_bus_message* message);

// Reads the a{sv} container the message is positioned on.  Null when it is
// empty, or when it holds a value of a type outside the table above.
CFDictionaryRef readUserInfo(sd_bus_message* message);

}  // namespace quillmate::notify

#endif
