// Converts notification user information between CF objects and D-Bus.
#include "platform/cf/notify/NotificationUserInfo.h"

#include <systemd/sd-bus.h>

#include <cerrno>

namespace quillmate::notify {

int writeUserInfo(const void* context, sd_bus_message*) {
  return context ? -EINVAL : 0;
}

CFDictionaryRef readUserInfo(sd_bus_message*) { return nullptr; }

}  // namespace quillmate::notify
