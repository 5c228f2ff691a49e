// Module initialisation, shared by the extension's entry point and by the
// demonstration host.
#pragma once

#include "python/ref.h"

namespace hdlc {

// Creates the module under `name` ("hdlcprotocol" when imported, "__main__"
// in the host), imports the companions, builds HDLCProtocol and, as the main
// module, runs the demonstration.  Returns the module, or nothing with the
// Python error set.
Ref initialise_module(const char* name);

}  // namespace hdlc
