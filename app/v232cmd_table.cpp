// Constant tables of the command protocol: the 29 mnemonics, the reply
// texts (with the lookup of a player status text) and the process-wide
// parser descriptor.
#include "app/v232cmd.h"

// The index is the command number sent to the player and the cmd_id that
// selects the reply layout. "#" and "$" are captures (see v232cmd_match).
const char* const v232cmd_names[V232CMD_COUNT] = {
    "?E",      // 0  last error code, answered locally
    "PN",      // 1
    "PF",      // 2
    "OP",      // 3
    "CO",      // 4
    "99RJ",    // 5  the digits are part of the mnemonic
    "PL",      // 6
    "ST",      // 7
    "SF",      // 8
    "SR",      // 9
    "NS",      // 10
    "#KL",     // 11 decimal parameter
    "?A",      // 12
    "?R",      // 13
    "?C",      // 14
    "?T",      // 15
    "?I",      // 16
    "?K",      // 17
    "?V",      // 18
    "?J",      // 19
    "?D",      // 20
    "?P",      // 21
    "?L",      // 22
    "?Z",      // 23
    "#SW",     // 24 decimal parameter
    "NF",      // 25
    "NR",      // 26
    "/$/RU",   // 27 eight hexadecimal digits
    "L/$/RU",  // 28 eight hexadecimal digits
};

const char* const v232cmd_ret_codes[V232CMD_RET_CODE_COUNT] = {
    "",    "R",   "E00", "E04", "E06", "E11", "E12", "E15", "E16", "E99",
    "P00", "P01", "P02", "P03", "P04", "P05", "P06", "P07", "P08", "P09",
};

const char* v232cmd_player_status_text(int status) {
  if (status < 0 || status >= V232CMD_PLAYER_STATUS_COUNT) return nullptr;
  return v232cmd_ret_codes[V232CMD_RET_CODE_PLAYER_STATUS + status];
}

const v232cmd_def v232cmd_descriptor = {
    v232cmd_names,
    V232CMD_COUNT,
    v232cmd_dispatch,
    v232cmd_complete,
};
