// The platform's status codes.  Values are the platform's own: code written
// for it compares against these numbers.
#ifndef QUILLMATE_MACERRORS_H
#define QUILLMATE_MACERRORS_H

#include <MacTypes.h>

enum {
  // General and File Manager.
  unimpErr = -4,
  dirFulErr = -33,
  dskFulErr = -34,
  nsvErr = -35,
  ioErr = -36,
  bdNamErr = -37,
  fnOpnErr = -38,
  eofErr = -39,
  posErr = -40,
  tmfoErr = -42,
  fnfErr = -43,
  wPrErr = -44,
  fLckdErr = -45,
  vLckdErr = -46,
  fBsyErr = -47,
  dupFNErr = -48,
  opWrErr = -49,
  paramErr = -50,
  rfNumErr = -51,
  permErr = -54,
  extFSErr = -58,
  wrPermErr = -61,
  memFullErr = -108,
  nilHandleErr = -109,
  dirNFErr = -120,
  badMovErr = -122,
  wrgVolTypErr = -123,
  volGoneErr = -124,
  fidNotFound = -1300,
  fidExists = -1301,
  notAFileErr = -1302,
  diffVolErr = -1303,
  sameFileErr = -1306,
  errFSBadFSRef = -1401,
  errFSBadForkName = -1402,
  errFSBadBuffer = -1403,
  errFSBadForkRef = -1404,
  errFSBadInfoBitmap = -1405,
  errFSNotAFolder = -1407,
  errFSForkNotFound = -1409,
  errFSNameTooLong = -1410,
  errFSMissingName = -1411,
  errFSBadPosMode = -1412,
  errFSNoMoreItems = -1417,
  errFSBadItemCount = -1418,
  errFSRefsDifferent = -1420,
  errFSBadIteratorFlags = -1422,
  errFSIteratorNotFound = -1423,
  errFSIteratorNotSupported = -1424,
  errFSOperationNotSupported = -1426,

  // File servers.
  afpAccessDenied = -5000,
  afpObjectNotFound = -5018,
  afpRangeNotLocked = -5020,
  afpRangeOverlap = -5021,
  afpObjectTypeErr = -5025,
  afpIDExists = -5035,

  // Text encoding conversion.
  kTextUnsupportedEncodingErr = -8738,
  kTextMalformedInputErr = -8739,
  kTextUndefinedElementErr = -8740,
  kTECNoConversionPathErr = -8749,
  kTECPartialCharErr = -8753,
  kTECUnmappableElementErr = -8754,
  kTECUsedFallbacksStatus = -8783,
  kTECOutputBufferFullStatus = -8785
};

#endif
