// The HDLC procedures the client runs against the meter: the frame
// exchange on the byte stream, link establishment (SNRM/UA), release
// (DISC), data transfer in numbered I-frames, and poll.
//
// Each procedure is written as the Python it stands for, statement by
// statement: fields are read from the object at each use, companions are
// looked up through the module globals when they are needed, and methods of
// the object are called through the object so that overrides take effect.
#include "protocol.h"

#include "names.h"
#include "python/api.h"

namespace hdlc::protocol {
namespace {

using namespace names;

constexpr long flag = 0x7E;
constexpr long length_mask = 0x7FF;

// The limit on our information fields (UA parameter 6) leaves no room for
// request bytes, or is not a number.
constexpr char no_room_for_request[] = "Information field too short for request data";

// Frame.FrameKind.<kind>
Ref frame_kind(const Call& call, Id& kind) {
    return getattr(getattr(global(call.globals, Frame), FrameKind), kind);
}

// A new frame with its kind, the two addresses and the poll bit: all that
// SNRM, DISC and the RR of poll carry.
Ref addressed_frame(const Call& call, Id& kind) {
    PyObject* self = call[0];
    Ref frame = invoke(global(call.globals, Frame));
    setattr(frame, Kind, frame_kind(call, kind));
    setattr(frame, SrcAddress, getattr(self, LocalAddress));
    setattr(frame, DstAddress, getattr(self, RemoteAddress));
    setattr(frame, PollFinal, Py_True);
    return frame;
}

// self._send_receive_bytes(frame.get_pdu_bytes())
Ref exchange(PyObject* self, Handle frame) {
    return invoke_method(self, method_send_receive_bytes, invoke_method(frame, get_pdu_bytes));
}

// self._raise_exception(message)
void protocol_error(PyObject* self, const char* message) {
    invoke_method(self, method_raise_exception, string(message));
}

// [ord(b) for b in answer] (on 3, the integers that bytes yield)
Ref byte_values(Handle answer) {
    PyObject* text = answer.get();
    if (PyBytes_Check(text)) {
        const Py_ssize_t size = PyBytes_GET_SIZE(text);
        const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(text));
        Ref values = Ref::steal(PyList_New(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyList_SET_ITEM(values.get(), i, integer(bytes[i]).release());
        }
        return values;
    }
    // An answer object may never end: signals are answered on the way, as
    // the interpreter's own loops answer them, so Ctrl-C and alarms stop it.
    Ref values = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(text));
    while (PyObject* next = PyIter_Next(iterator.get())) {
        Ref byte = Ref::steal(next);
        check(PyList_Append(values.get(), integer(byte_value(byte)).get()));
        check(PyErr_CheckSignals());
    }
    if (PyErr_Occurred()) throw PythonError();
    return values;
}

// frame.Data.position < frame.Data.length
bool information_left(Handle frame) {
    Ref current = getattr(getattr(frame, Data), position);
    Ref end = getattr(getattr(frame, Data), length);
    return less(current, end);
}

// segment.length < self._maxInfoFieldLengthTransmit, for a limit that is a
// number: Python 2 orders a number before any string, so "abc" would let
// the whole request into one frame.
bool segment_has_room(PyObject* self, Handle segment) {
    Ref used = getattr(segment, length);
    Ref limit = getattr(self, maxInfoFieldLengthTransmit_);
    if (!PyNumber_Check(limit.get())) protocol_error(self, no_room_for_request);
    return less(used, limit);
}

// The gathered answer must open with E6 E7 00; the three bytes are
// compared in order and the first difference decides.
bool has_response_prefix(const Call& call, Handle data) {
    if (less_than(getattr(data, length), 3)) return false;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref received = item(getattr(data, buffer), i);
        Ref expected = item(getattr(global(call.globals, HDLCProtocol), LLCResponsePrefix), i);
        if (not_equal(received, expected)) return false;
    }
    return true;
}

// if counter == 7: counter = 0  else: counter += 1
void advance_sequence_number(PyObject* self, Id& field) {
    Ref value = getattr(self, field);
    if (equals(value, 7)) {
        setattr(self, field, integer(0));
    } else {
        setattr(self, field, Ref::steal(PyNumber_Add(value.get(), integer(1).get())));
    }
}

}  // namespace

Ref send_receive_bytes(const Call& call) {
    PyObject* self = call[0];
    PyObject* bytes = call[1];
    PyObject* log = call[2];

    Ref result = invoke(global(call.globals, MemoryStream));

    if (!is_none(getattr(self, OnSentStream)) && truth(log)) invoke(getattr(self, OnSentStream), bytes);

    Ref data = Ref::steal(PyByteArray_FromObject(bytes));
    invoke_method(getattr(self, IOStream_), write, data);

    // One read for the flag and the frame format field, one for the rest
    // as the length field gives it; a short read means the line timed out.
    Ref answer = invoke_method(getattr(self, IOStream_), read, integer(3));
    if (len(answer) == 3) {
        if (byte_value(item(answer, 0)) != flag) {
            PyErr_SetNone(PyExc_AssertionError);
            throw PythonError();
        }
        const long format_msb = byte_value(item(answer, 1)) & 0xFF;
        const long format_lsb = byte_value(item(answer, 2)) & 0xFF;
        const long frame_length = (((format_msb << 8) + format_lsb) & length_mask) + 2;
        Ref rest = invoke_method(getattr(self, IOStream_), read, integer(frame_length - 3));
        answer = Ref::steal(PyNumber_InPlaceAdd(answer.get(), rest.get()));
        result = invoke(global(call.globals, MemoryStream), byte_values(answer));
    }
    setattr(result, capacity, getattr(result, length));

    if (!is_none(getattr(self, OnReceivedStream)) && truth(log) && !equals(getattr(result, length), 0)) {
        Ref callback = getattr(self, OnReceivedStream);
        invoke(callback, getattr(result, buffer));
    }
    return result;
}

Ref connect(const Call& call) {
    PyObject* self = call[0];

    Ref frame = addressed_frame(call, SNRM);
    Ref response = exchange(self, frame);
    if (equals(getattr(response, length), 0)) protocol_error(self, "No response to SNRM");

    invoke_method(frame, set_from_pdu_bytes, getattr(response, buffer));
    if (not_equal(getattr(frame, Kind), frame_kind(call, UA))) {
        protocol_error(self, "Unexpected response to SNRM frame");
    }

    // Parameters the UA leaves out fall back to the defaults, never to the
    // values of an earlier connection.
    Ref protocol_class = global(call.globals, HDLCProtocol);
    setattr(self, maxInfoFieldLengthTransmit_, getattr(protocol_class, DefaultInfoFieldLength));
    setattr(self, maxInfoFieldLengthReceive_, getattr(protocol_class, DefaultInfoFieldLength));
    setattr(self, windowSizeTransmit_, getattr(protocol_class, DefaultWindowSize));
    setattr(self, windowSizeReceive_, getattr(protocol_class, DefaultWindowSize));

    if (!is_none(getattr(frame, Data))) {
        // Skip the format identifier, group identifier and group length.
        setattr(getattr(frame, Data), position, integer(3));
        while (information_left(frame)) {
            Ref identifier = invoke_method(getattr(frame, Data), read_byte);
            // The meter states each parameter from its own side: its
            // transmit values are our receive values and the other way round.
            Id* field = nullptr;
            if (equals(identifier, 5)) {
                field = &maxInfoFieldLengthReceive_;
            } else if (equals(identifier, 6)) {
                field = &maxInfoFieldLengthTransmit_;
            } else if (equals(identifier, 7)) {
                field = &windowSizeReceive_;
            } else if (equals(identifier, 8)) {
                field = &windowSizeTransmit_;
            }
            if (field == nullptr) {
                protocol_error(self, "Illegal UA data");
                continue;
            }
            setattr(self, *field, invoke_method(self, method_read_data_integer, getattr(frame, Data)));
        }
    }

    setattr(self, RSN_, integer(0));
    setattr(self, SSN_, integer(0));
    invoke_method(self, method_set_State, getattr(global(call.globals, HDLCProtocolState), NRM));
    return none();
}

Ref read_data_integer(const Call& call) {
    PyObject* stream = call[1];

    // Length-prefixed, most significant byte first; lengths other than
    // 1, 2 and 4 carry no value the client understands and read as 0.
    Ref size = invoke_method(stream, read_byte);
    int count = 0;
    if (equals(size, 1)) {
        count = 1;
    } else if (equals(size, 2)) {
        count = 2;
    } else if (equals(size, 4)) {
        count = 4;
    }
    if (count == 0) return integer(0);

    Ref result = invoke_method(stream, read_byte);
    for (int i = 1; i < count; ++i) {
        Ref shifted = Ref::steal(PyNumber_Lshift(result.get(), integer(8).get()));
        result = Ref::steal(PyNumber_Add(shifted.get(), invoke_method(stream, read_byte).get()));
    }
    return result;
}

Ref disconnect(const Call& call) {
    PyObject* self = call[0];

    // Whatever the meter answers (UA, DM or nothing), the link is down.
    Ref frame = addressed_frame(call, DISC);
    exchange(self, frame);
    invoke_method(self, method_set_State, getattr(global(call.globals, HDLCProtocolState), NDM));
    return none();
}

Ref poll(const Call& call) {
    PyObject* self = call[0];
    PyObject* log = call[1];

    // The answer is read off the line and dropped: poll only keeps the
    // meter's inactivity timer from running out.
    Ref frame = addressed_frame(call, RR);
    invoke_method(self, method_send_receive_bytes, invoke_method(frame, get_pdu_bytes), log);
    return none();
}

Ref send_receive(const Call& call) {
    PyObject* self = call[0];
    PyObject* out_data = call[1];

    Ref out_frame = invoke(global(call.globals, Frame));
    Ref in_frame = invoke(global(call.globals, Frame));
    Ref in_data = invoke(global(call.globals, MemoryStream));
    Py_ssize_t sent = 0;
    bool remote_ready = true;
    bool done = false;

    // One cycle: one frame out, one answer in.  Every frame carries the
    // poll bit, so at most one I-frame is ever unacknowledged.
    do {
        Ref response;
        if (remote_ready && sent < len(out_data)) {
            setattr(out_frame, Kind, frame_kind(call, I));
            setattr(out_frame, SrcAddress, getattr(self, LocalAddress));
            setattr(out_frame, DstAddress, getattr(self, RemoteAddress));
            setattr(out_frame, RSequenceNr, getattr(self, RSN_));
            setattr(out_frame, SSequenceNr, getattr(self, SSN_));
            setattr(out_frame, PollFinal, Py_True);

            // The LLC header opens the first segment and counts against the
            // information field limit like any other byte.
            Ref segment;
            if (sent == 0) {
                segment = invoke(global(call.globals, MemoryStream));
                setattr(out_frame, Data, segment);
                Ref prefix = getattr(global(call.globals, HDLCProtocol), LLCRequestPrefix);
                Ref prefix_length = integer(static_cast<long>(len(prefix)));
                invoke_method(segment, write, prefix, integer(0), prefix_length);
            } else if (is_none(getattr(out_frame, Data))) {
                // An RR went out since the last segment and took the field away.
                segment = invoke(global(call.globals, MemoryStream));
                setattr(out_frame, Data, segment);
            } else {
                segment = getattr(out_frame, Data);
                setattr(segment, length, integer(0));
            }
            const Py_ssize_t segment_start = sent;
            while (sent < len(out_data) && segment_has_room(self, segment)) {
                invoke_method(segment, write_byte, item(out_data, sent));
                ++sent;
            }
            // A frame without a request byte would be acknowledged and sent
            // again for ever; stop before it goes out.
            if (sent == segment_start) protocol_error(self, no_room_for_request);
            setattr(out_frame, Segmented, boolean(len(out_data) - sent > 0));

            // Advanced before sending: the answer must acknowledge this frame.
            advance_sequence_number(self, SSN_);
            response = exchange(self, out_frame);
        } else {
            // Not ready, or all sent: ask for (the rest of) the answer.
            setattr(out_frame, Kind, frame_kind(call, RR));
            setattr(out_frame, Segmented, Py_False);
            setattr(out_frame, SrcAddress, getattr(self, LocalAddress));
            setattr(out_frame, DstAddress, getattr(self, RemoteAddress));
            setattr(out_frame, RSequenceNr, getattr(self, RSN_));
            setattr(out_frame, SSequenceNr, getattr(self, SSN_));
            setattr(out_frame, PollFinal, Py_True);
            setattr(out_frame, Data, Py_None);
            response = exchange(self, out_frame);
        }

        if (equals(getattr(response, length), 0)) protocol_error(self, "no response");
        invoke_method(in_frame, set_from_pdu_bytes, getattr(response, buffer));
        Ref kind = getattr(in_frame, Kind);

        if (equal(kind, frame_kind(call, I))) {
            if (sent < len(out_data)) protocol_error(self, "unexpected I frame");
            if (not_equal(getattr(in_frame, SSequenceNr), getattr(self, RSN_))) protocol_error(self, "IS synch lost");
            if (not_equal(getattr(in_frame, RSequenceNr), getattr(self, SSN_))) protocol_error(self, "IR synch lost");
            advance_sequence_number(self, RSN_);
            Ref segment_data = getattr(in_frame, Data);
            Ref segment_bytes = getattr(segment_data, buffer);
            Ref segment_length = getattr(segment_data, length);
            invoke_method(in_data, write, segment_bytes, integer(0), segment_length);
            done = !truth(getattr(in_frame, Segmented));
        } else if (equal(kind, frame_kind(call, RR))) {
            if (not_equal(getattr(in_frame, RSequenceNr), getattr(self, SSN_))) protocol_error(self, "RRR synch lost");
            remote_ready = true;
        } else if (equal(kind, frame_kind(call, RNR))) {
            if (not_equal(getattr(in_frame, RSequenceNr), getattr(self, SSN_))) protocol_error(self, "RNR synch lost");
            remote_ready = false;
        } else {
            protocol_error(self, "Unexpected frame kind");
        }
    } while (!done);

    if (!has_response_prefix(call, in_data)) protocol_error(self, "LLC prefix missing in Response");
    invoke_method(in_data, erase, integer(0), integer(3));
    return in_data;
}

}  // namespace hdlc::protocol
