// Player link: the System V message channel to the player's main program,
// the command exchange and the receive thread.
#pragma once

#include "app/v232cmd.h"

// The player's standby state as last reported (1 until the first report).
extern int standby_mode;
