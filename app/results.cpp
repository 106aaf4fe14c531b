/*
 * results.cpp - why repair, reorder or the hive restore refused a file, in
 * words: the one home of these texts for every front end that tells a
 * person how a run went (the host build's terminal summary, the PC tool).
 */
#include "app/driver.h"

typedef struct Refusal {
    int result;
    const WCHAR *why;
} Refusal;

static const Refusal kRewriteRefusals[] = {
    {RAMIMAGE_CUT_SHORT, TEXT("the file is cut short")},
    {RAMIMAGE_SIZE_FIELD, TEXT("records after totalSize")},
    {RAMIMAGE_TYPE_ERROR, TEXT("a record of unknown type")},
    {RAMIMAGE_LENGTH_UNCLEAR, TEXT("a record's length cannot be told from its fields")},
    {RAMIMAGE_LENGTH_DAMAGED, TEXT("a record's length is damaged (c mends it)")},
    {RAMIMAGE_BAD_SIG, TEXT("not a RAM registry image")},
};

static const Refusal kHiveRefusals[] = {
    {HV_BAD_SIG, TEXT("not a hive backup file")},
    {HV_DAMAGED, TEXT("the hive lengths do not fit the file")},
    {HV_CHECKSUM, TEXT("an image does not match its checksum")},
    {HV_TRAILING, TEXT("the bytes after the user hive are not its trailer")},
};

static const WCHAR *refusal(const Refusal *table, size_t count, int result)
{
    size_t i;

    for (i = 0; i < count; i++) {
        if (table[i].result == result)
            return table[i].why;
    }
    return NULL;
}

const WCHAR *rewriteRefusal(int result)
{
    return refusal(kRewriteRefusals, sizeof kRewriteRefusals / sizeof kRewriteRefusals[0], result);
}

const WCHAR *hiveRefusal(int result)
{
    return refusal(kHiveRefusals, sizeof kHiveRefusals / sizeof kHiveRefusals[0], result);
}
