// Test hooks of the distributed notification center.  Used only by tests.
#ifndef QUILLMATE_PLATFORM_CF_NOTIFY_NOTIFICATIONTESTING_H
#define QUILLMATE_PLATFORM_CF_NOTIFY_NOTIFICATIONTESTING_H

namespace quillmate::notify {

// Closes the bus connection and forgets every observer, pending delivery and
// the suspension, so that the next call opens a connection to the bus the
// environment names then.
void resetDistributedCenterForTesting();

}  // namespace quillmate::notify

#endif
