// Per-user preference domains, one XML property list per application ID.
//
// Where the files live: $QUILLMATE_PREFERENCES_DIR when set and not empty;
// else $XDG_CONFIG_HOME/quillmate/preferences when XDG_CONFIG_HOME is an
// absolute path; else $HOME/.config/quillmate/preferences (the home folder
// from the password database when HOME is unset).  The domain "com.x.y" is
// the file "com.x.y.plist" there, guarded by the lock file "com.x.y.plist.lock".
//
// Sets stay in this process until CFPreferencesAppSynchronize, which is the
// only call that writes: it takes the domain's lock, re-reads the file, puts
// this process's pending sets and removals on top (so writers of different
// keys lose nothing), writes a temporary file in the same folder, flushes it
// to disk, renames it over the domain file and keeps the result as this
// process's copy.  A domain file that does not parse reads as empty, and the
// first synchronise that writes over it first keeps it beside it, as
// "<domain>.plist.unreadable" (or "...unreadable-N" when that name is taken).
// A domain file that is not a regular file or is larger than 8 MiB reads as
// empty and is never written over.  A domain file that is a symbolic link is
// read through, and written by replacing the file at the end of the link in
// its own folder (the link stays; a link to a missing file is not written
// through).  The lock file is never followed.
#ifndef QUILLMATE_CFPREFERENCES_H
#define QUILLMATE_CFPREFERENCES_H

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>

extern "C" {

// The running program's own domain: the program's file name.
extern const CFStringRef kCFPreferencesCurrentApplication;
extern const CFStringRef kCFPreferencesCurrentUser;
extern const CFStringRef kCFPreferencesAnyUser;
extern const CFStringRef kCFPreferencesCurrentHost;
extern const CFStringRef kCFPreferencesAnyHost;

// A new reference to the key's value, or null when the key is absent, the
// domain's file does not parse, or applicationID cannot name a file (empty,
// ".", "..", holding "/" or NUL, or longer than 200 bytes in UTF-8).
CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID);
// Records the value (a copy of it) for the next synchronise; a null value
// removes the key.  A value that cannot be stored (not a property-list type,
// or text a property list cannot carry) is refused: nothing is recorded and
// the next synchronise returns false.
void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID);
// Writes pending changes as described above and picks up other processes'
// changes.  False when pending changes could not be written (they stay
// pending, so a later call may succeed) or a set was refused since the last
// call.  With nothing pending it only re-reads, and answers true.
Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);
// The domain's keys, sorted, as a new array; null when the domain has none.
// Only kCFPreferencesCurrentUser (or kCFPreferencesAnyUser) with
// kCFPreferencesAnyHost is stored: other combinations answer null.
CFArrayRef CFPreferencesCopyKeyList(CFStringRef applicationID, CFStringRef userName,
                                    CFStringRef hostName);
// The values of keysToFetch (all keys when it is null) that are present, as a
// new dictionary; users and hosts as for CFPreferencesCopyKeyList.
CFDictionaryRef CFPreferencesCopyMultiple(CFArrayRef keysToFetch, CFStringRef applicationID,
                                          CFStringRef userName, CFStringRef hostName);

} // extern "C"

#endif
