// vbdctl discover: finds players on the LAN with an SSDP search and lists
// each root device whose description is valid XML.
#pragma once

namespace vbdctl {

// Runs "vbdctl discover ARGS..." (argv[0] is "discover" or "-d"); returns
// the exit status.
int discover_main(int argc, char** argv);

}  // namespace vbdctl
