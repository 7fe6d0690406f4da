// vbdctl discover: finds players on the LAN with an SSDP search and lists
// each root device whose description is valid XML.
#include "tools/vbdctl/discover.h"

#include <cstdio>

namespace vbdctl {

int discover_main(int, char**) {
  fputs("vbdctl: discover is not built yet\n", stderr);
  return 2;
}

}  // namespace vbdctl
