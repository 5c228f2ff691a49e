// The protocol object: construction from a parameter record, the field
// accessors behind the properties, the state change and the error raising
// that every link procedure shares.
#include "protocol.h"

#include "names.h"
#include "python/api.h"

namespace hdlc::protocol {

using namespace names;

Ref init(const Call& call) {
    PyObject* self = call[0];
    PyObject* parameters = call[1];
    PyObject* stream = call[2];

    // No wait and no callback: a new object simply starts disconnected.
    setattr(self, State_, getattr(global(call.globals, HDLCProtocolState), NDM));
    setattr(self, IOStream_, stream);

    // The defaults are read from the class each time, so a caller who
    // changes them on the class changes every object created afterwards.
    setattr(self, maxInfoFieldLengthTransmit_, getattr(global(call.globals, HDLCProtocol), DefaultInfoFieldLength));
    setattr(self, maxInfoFieldLengthReceive_, getattr(global(call.globals, HDLCProtocol), DefaultInfoFieldLength));
    setattr(self, windowSizeTransmit_, getattr(global(call.globals, HDLCProtocol), DefaultWindowSize));
    setattr(self, windowSizeReceive_, getattr(global(call.globals, HDLCProtocol), DefaultWindowSize));
    setattr(self, RSN_, integer(0));
    setattr(self, SSN_, integer(0));

    {
        Ref make_address = getattr(global(call.globals, Frame), FrameAddress);
        Ref client = getattr(parameters, ClientMACAddress);
        setattr(self, LocalAddress, invoke(make_address, client, integer(0), integer(1)));
    }
    {
        Ref make_address = getattr(global(call.globals, Frame), FrameAddress);
        Ref upper = getattr(parameters, ServerUpperMACAddressValue);
        Ref lower = getattr(parameters, ServerLowerMACAddressValue);
        Ref size = getattr(parameters, ServerAddressSize);
        setattr(self, RemoteAddress, invoke(make_address, upper, lower, size));
    }

    setattr(self, OnSentStream, getattr(parameters, SentStreamCallback));
    setattr(self, OnReceivedStream, getattr(parameters, ReceivedStreamCallBack));
    setattr(self, OnStateChanged, getattr(parameters, StateChangeCallBack));
    setattr(self, DISCToNDMTimeout_, getattr(parameters, DiscToNDMTimeout));
    setattr(self, InactivityTimeout, getattr(parameters, InactivityTimeout));
    return none();
}

Ref get_field(const Call& call) { return getattr(call[0], *static_cast<Id*>(call.data)); }

Ref set_field(const Call& call) {
    setattr(call[0], *static_cast<Id*>(call.data), call[1]);
    return none();
}

Ref set_State(const Call& call) {
    PyObject* self = call[0];
    PyObject* state = call[1];

    if (!not_equal(getattr(self, State_), state)) return none();
    setattr(self, State_, state);

    // Entering NDM waits first, so the callback hears of the disconnection
    // only once the meter has had its time to drop the link.
    Ref stored = getattr(self, State_);
    if (equal(stored, getattr(global(call.globals, HDLCProtocolState), NDM))) {
        Ref sleep_function = getattr(global(call.globals, names::time), sleep);
        Ref milliseconds = getattr(self, DISCToNDMTimeout_);
        Ref factor = Ref::steal(PyFloat_FromDouble(0.001));
        invoke(sleep_function, Ref::steal(PyNumber_Multiply(milliseconds.get(), factor.get())));
    }

    if (!is_none(getattr(self, OnStateChanged))) {
        Ref callback = getattr(self, OnStateChanged);
        invoke(callback, getattr(self, State_));
    }
    return none();
}

Ref raise_exception(const Call& call) {
    Ref kind = getattr(global(call.globals, BrenloExceptionKind), ExceptionKindFrame);
    raise_instance(invoke(global(call.globals, BrenloException), call[1], kind));
}

}  // namespace hdlc::protocol
