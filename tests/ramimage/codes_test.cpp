// codes_test.cpp - the result codes of the system's families never share a
// value where one could be passed for another: checked when this file
// compiles. Only the values fixed for callers and the log (the image kinds
// and the results every operation shares: done, 3, 8, 9) may meet a value of
// another family, and each family's other codes lie in its own range.
#include "hive/hive.h"
#include "ramimage/image.h"
#include "ramimage/ramimage.h"

namespace {

enum Family { Kind, Operation, RewriteResult, HiveResult, ImageProblem, HiveReason, Walk, Failure, Reading };

struct Code {
    Family family;
    int value;
    bool fixed;  // a value callers and the log see
};

constexpr Code kCodes[] = {
    {Kind, KIND_NONE, true},
    {Kind, KIND_RAM, true},
    {Kind, KIND_HIVE, true},
    {Kind, KIND_NOOPEN, true},
    // repair's, reorder's and the hive operations' shared results: one family
    {Operation, REPAIR_DONE, true},
    {Operation, REORDER_DONE, true},
    {Operation, RAMIMAGE_NO_TEMPNAME, true},
    {Operation, RAMIMAGE_BAD_SIG, true},
    {Operation, RAMIMAGE_NO_OPEN, true},
    {Operation, HV_DONE, true},
    {Operation, HV_NO_TEMPNAME, true},
    {Operation, HV_BAD_SIG, true},
    {Operation, HV_NO_OPEN, true},
    {RewriteResult, RAMIMAGE_LENGTH_UNCLEAR, false},
    {RewriteResult, RAMIMAGE_LENGTH_DAMAGED, false},
    {RewriteResult, RAMIMAGE_CUT_SHORT, false},
    {RewriteResult, RAMIMAGE_SIZE_FIELD, false},
    {RewriteResult, RAMIMAGE_NO_MEMORY, false},
    {RewriteResult, RAMIMAGE_NOT_WRITTEN, false},
    {RewriteResult, RAMIMAGE_TYPE_ERROR, false},
    {HiveResult, HV_DAMAGED, false},
    {HiveResult, HV_IO_FAILED, false},
    {HiveResult, HV_NOT_REPLACED, false},
    {HiveResult, HV_CHECKSUM, false},
    {HiveResult, HV_TRAILING, false},
    {ImageProblem, IMAGE_WHOLE, false},
    {ImageProblem, IMAGE_TOO_SHORT, false},
    {ImageProblem, IMAGE_NOT_RAM, false},
    {ImageProblem, IMAGE_SIZE_FIELD, false},
    {ImageProblem, IMAGE_RECORD_CUT, false},
    {ImageProblem, IMAGE_RECORD_LENGTH, false},
    {ImageProblem, IMAGE_RECORD_NAME, false},
    {ImageProblem, IMAGE_RECORD_HIGH, false},
    {ImageProblem, IMAGE_RECORD_TYPE, false},
    {ImageProblem, IMAGE_VALUE_FIRST, false},
    {ImageProblem, IMAGE_NO_KEY, false},
    {ImageProblem, IMAGE_UNREADABLE, false},
    {ImageProblem, IMAGE_KEY_TAG, false},
    {ImageProblem, IMAGE_VALUE_TAG, false},
    {ImageProblem, IMAGE_KEY_PATH, false},
    {ImageProblem, IMAGE_KEY_CHAR, false},
    {HiveReason, HVW_NONE, false},
    {HiveReason, HVW_EMPTY, false},
    {HiveReason, HVW_PAST_FILE, false},
    {HiveReason, HVW_OVER_TRAILER, false},
    {HiveReason, HVW_TRAILING, false},
    {HiveReason, HVW_NOT_TRAILER, false},
    {Walk, WALK_END, false},
    {Walk, WALK_RECORD, false},
    {Walk, WALK_CUT, false},
    {Failure, IMAGE_OK, false},
    {Failure, IMAGE_READ_FAILED, false},
    {Failure, IMAGE_WRITE_FAILED, false},
    {Reading, READ_STORED, false},
    {Reading, READ_FIELDS, false},
    {Reading, READ_UNCLEAR, false},
};

// Each family's range: the fixed values below 10, the others in the range
// their header gives.
constexpr bool inRange(const Code &c) {
    switch (c.family) {
    case Kind:
    case Operation:
        return c.value >= 0 && c.value <= 9;
    case RewriteResult:
        return c.value >= RAMIMAGE_RESULT_FIRST && c.value <= RAMIMAGE_RESULT_LAST;
    case HiveResult:
        return c.value >= HV_RESULT_FIRST && c.value <= HV_RESULT_LAST;
    case ImageProblem:
        return c.value >= IMAGE_PROBLEM_FIRST && c.value <= IMAGE_PROBLEM_LAST;
    case HiveReason:
        return c.value >= HVW_FIRST && c.value <= HVW_LAST;
    case Walk:
    case Failure:
    case Reading:
        return c.value >= 70 && c.value <= 99;
    }
    return false;
}

constexpr bool allInRange() {
    for (const Code &c : kCodes)
        if (!inRange(c)) return false;
    return true;
}

// Two codes meet only when both are fixed, or they are of one family and
// mean the same (ramimage's and the hive's shared results), never two
// codes of one family that mean different things.
constexpr bool apart() {
    for (const Code &a : kCodes)
        for (const Code &b : kCodes) {
            if (&a == &b || a.value != b.value) continue;
            if (a.family != b.family && !(a.fixed && b.fixed)) return false;
            if (a.family == b.family && a.family != Operation) return false;
        }
    return true;
}

constexpr bool rangesApart() {
    const int first[] = {RAMIMAGE_RESULT_FIRST, HV_RESULT_FIRST, IMAGE_PROBLEM_FIRST, HVW_FIRST, 70};
    const int last[] = {RAMIMAGE_RESULT_LAST, HV_RESULT_LAST, IMAGE_PROBLEM_LAST, HVW_LAST, 99};
    for (int i = 0; i < 5; i++) {
        if (first[i] <= 9) return false;
        for (int j = 0; j < 5; j++)
            if (i != j && first[i] <= last[j] && first[j] <= last[i]) return false;
    }
    return true;
}

static_assert(allInRange(), "every code lies in its family's range");
static_assert(rangesApart(), "the families' ranges do not overlap");
static_assert(apart(), "no two families share a value, except fixed ones");

}  // namespace
