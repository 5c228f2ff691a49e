// Bodies of the HDLCProtocol methods.  The class surface (names, parameter
// lists, documentation strings) is assembled in module.cpp; the protocol
// object's own services live in protocol_object.cpp and the link procedures
// in link_procedures.cpp.
#pragma once

#include "python/function_type.h"
#include "python/ref.h"

namespace hdlc::protocol {

// protocol_object.cpp
Ref init(const Call& call);             // __init__(self, hdlcParameters, IOStream)
Ref get_field(const Call& call);        // getter of the field named by call.data
Ref set_field(const Call& call);        // setter of the field named by call.data
Ref set_State(const Call& call);        // _set_State(self, state)
Ref raise_exception(const Call& call);  // _raise_exception(self, message)

// link_procedures.cpp
Ref send_receive_bytes(const Call& call);  // _send_receive_bytes(self, bytes_, log=True)
Ref connect(const Call& call);             // connect(self)
Ref read_data_integer(const Call& call);   // _read_data_integer(self, s)
Ref disconnect(const Call& call);          // disconnect(self)
Ref send_receive(const Call& call);        // send_receive(self, outData)
Ref poll(const Call& call);                // poll(self, log=True)

}  // namespace hdlc::protocol
