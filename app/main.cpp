// vBdServer: the control and discovery daemon beside the player's main program.
#include "app/lifecycle.h"

int main(int argc, char** argv) { return vbd_main(argc, argv); }
