#include "mf/bsdmake.h"

#include "mf/mf_io.h"

namespace {

const char *const bsdmake_formats[] = {
    /* 0 */ "Missing closing parenthesis for %s().\n",
    /* 1 */ "Missing right-hand-side of operator.\n",
    /* 2 */ "String comparison operator should be either == or !=.\n",
    /* 3 */ "Unknown operator \"%c%c\".\n",
    /* 4 */ "Unimplemented conditional directive: \"%s\"\n",
    /* 5 */ "Proceeding as if conditional evaluated FALSE\n",
    /* 6 */ "Unclosed substitution for \"%s\" (missing '%c').\n",
    /* 7 */ "Unknown modifier '%c'.\n",
    /* 8 */ "Result is \"%s\".\n",
    /* 9 */ "Malformed conditional \"%s\".\n",
    /* 10 */ "Undefined variable \"%.*s\".\n",
    /* 11 */ "Circular definition for macro \"%s\".\n",
    /* 12 */ "Applying :%c to \"%s\"\n",
    /* 13 */ "lhs = \"%s\", rhs = \"%s\", op = %.2s\n.",
    /* 14 */ "Text after the conditional expression is ignored: \"%s\"\n",
};
constexpr uint16_t kFormatCount = sizeof bsdmake_formats / sizeof bsdmake_formats[0];
const uint16_t bsdmake_catalog[kFormatCount] = {1,  2,  3,  4,  5,  6,  21, 22,
                                                23, 24, 25, 26, 41, 42, 43};

}  // namespace

const imsg_msg_table_t _bsdmake_karsel_msg_table = {
    "karsel_bin", "mf/bsdmake", 93, kFormatCount, bsdmake_formats, bsdmake_catalog,
};

void bsdmake_print_position(int severity) { mf_io_print_position(severity | 1); }
