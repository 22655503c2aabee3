// Umbrella header of the platform's Core Foundation subset.
#ifndef QUILLMATE_COREFOUNDATION_H
#define QUILLMATE_COREFOUNDATION_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFNumber.h>

#endif
