/*
 * hive.h - the hive backup file: both registry hives packed into one file.
 *
 *   0        4  signature "XGER" (HIVE_REG_SIG)
 *   4        4  N1, signed length of the system hive image
 *   8       N1  system hive image (HKEY_LOCAL_MACHINE)
 *   8+N1     4  N2, signed length of the user hive image
 *   12+N1   N2  user hive image (HKEY_CURRENT_USER)
 */
#ifndef CORVANE_HIVE_H
#define CORVANE_HIVE_H

#include "platform/platform.h"

/* Saves both hives and packs them into the hive backup file at path.
 * 0 written, 9 a file cannot be opened. */
int corvaneHv(const WCHAR *path);

/* Restores both hives from the hive backup file at path: logs the user off,
 * replaces user.hv, schedules the system hive. 0 restored, 8 wrong
 * signature, 9 no profile folder or a file cannot be opened. */
int restRegHv(const WCHAR *path);

#endif
