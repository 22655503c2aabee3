// Umbrella header of the platform's core services: the Memory Manager,
// Pascal-string helpers, the File Manager, text encodings and the Script
// Manager.
#ifndef QUILLMATE_CORESERVICES_H
#define QUILLMATE_CORESERVICES_H

#include <MacTypes.h>
#include <CoreServices/MacErrors.h>
#include <CoreServices/MacMemory.h>
#include <CoreServices/TextUtils.h>
#include <CoreServices/TextCommon.h>
#include <CoreServices/UnicodeConverter.h>
#include <CoreServices/Script.h>
#include <CoreServices/UTCUtils.h>
#include <CoreServices/Files.h>

#endif
