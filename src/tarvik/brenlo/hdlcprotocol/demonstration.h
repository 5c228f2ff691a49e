// The demonstration that runs when the module is initialised as the main
// module: connect to a meter on a serial port and disconnect, tracing every
// frame and state change to standard output.
#pragma once

#include "python/ref.h"

namespace hdlc {

// Throws PythonError with the error set when any step fails.
void run_demonstration(Handle globals);

}  // namespace hdlc
