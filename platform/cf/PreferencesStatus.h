// What the preference store found of a domain's file and why its last
// synchronise failed, in words for a user.  The public calls only answer
// null or false; a tool (qmprefs) uses this to say which.
#ifndef QUILLMATE_PLATFORM_CF_PREFERENCESSTATUS_H
#define QUILLMATE_PLATFORM_CF_PREFERENCESSTATUS_H

#include <CoreFoundation/CFBase.h>

#include <string>

namespace quillmate_cf {

// The largest domain file the store reads: 8 MiB.  Domains are small (200
// keys take about 10 KiB); the bound keeps a wrong file (a log, a disk image)
// from exhausting memory.  A larger file is neither read nor written over.
constexpr long long kMaxDomainFileBytes = 8ll << 20;

struct DomainFileStatus {
  std::string path; // the domain file, as the program names it
  // Why the domain reads as empty although its file exists (cannot be
  // parsed, is not a regular file, is too large, cannot be read); empty when
  // the file is missing or parsed.  As of the last read of the file.
  std::string problem;
  // Why the last synchronise wrote nothing; empty when it succeeded.
  std::string failure;
  // Where the last synchronise kept an unparsable file before writing over
  // it; empty when it kept nothing.
  std::string keptAside;
};

// The status of applicationID's domain (loaded first if need be); false when
// the ID cannot name a domain.
bool copyDomainFileStatus(CFStringRef applicationID, DomainFileStatus *status);

} // namespace quillmate_cf

#endif
