// Service start and stop, and the event push, as stand-ins until the control
// server and its glue exist: start succeeds without opening anything, stop
// has nothing to stop, and pushed texts are dropped.
#include "app/lifecycle.h"

int vel_server_start(int) { return 1; }

void vel_server_stop() {}

// The control server glue replaces this with the push to its clients; until
// then there is no client to send to.
__attribute__((weak)) int controlapp_push_event(const char*) { return 0; }
