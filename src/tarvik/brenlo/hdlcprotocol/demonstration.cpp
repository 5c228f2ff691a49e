// The demonstration: trace functions that print each frame and state change
// the way a print statement would, and the steps that connect to a meter on
// a serial port and disconnect again.
#include "demonstration.h"

#include "python/function_type.h"
#include "names.h"
#include "python/api.h"

#include <cctype>

namespace hdlc {
namespace {

using namespace names;

Id types{"types"};
Id serial{"serial"};
Id ListType{"ListType"};
Id list{"list"};
Id Serial{"Serial"};
Id OnSendStream_function{"OnSendStream"};
Id OnReceivedStream_function{"OnReceivedStream"};
Id OnStateChange_function{"OnStateChange"};
Id hdlcParamaters{"_hdlcParamaters"};
Id port{"port"};
Id hdlc_object{"_hdlc"};
Id connect{"connect"};
Id disconnect{"disconnect"};

// sys.stdout as the print statement finds it, afresh for every item.
Ref standard_output() {
    PyObject* output = PySys_GetObject(const_cast<char*>("stdout"));
    if (output == nullptr) raise_error(PyExc_RuntimeError, "lost sys.stdout");
    return Ref::borrow(output);
}

// print <item>,  -- a leading space when the soft-space flag is set, then the
// item in its plain string form; the flag is set afterwards unless the item
// is a string ending in white space other than a blank.
void print_item(Handle item) {
    Ref output = standard_output();
    if (version::soft_space(output.get(), 0)) check(PyFile_WriteString(" ", output.get()));
    check(version::write_item(item.get(), output.get()));

    PyObject* value = item.get();
    bool soft_space = true;
    if (PyBytes_Check(value) && PyBytes_GET_SIZE(value) > 0) {
        const char last = PyBytes_AS_STRING(value)[PyBytes_GET_SIZE(value) - 1];
        soft_space = !std::isspace(static_cast<unsigned char>(last)) || last == ' ';
    } else if (PyUnicode_Check(value) && version::unicode_length(value) > 0) {
        const Py_UCS4 last = version::unicode_last_character(value);
        soft_space = !Py_UNICODE_ISSPACE(last) || last == ' ';
    }
    if (soft_space) version::soft_space(output.get(), 1);
}

// The line end of a print statement.
void print_newline() {
    Ref output = standard_output();
    check(PyFile_WriteString("\n", output.get()));
    version::soft_space(output.get(), 0);
}

void print_line(const char* prefix, Handle text) {
    print_item(string(prefix));
    print_item(text);
    print_newline();
}

// A list of byte values is shown in hexadecimal, anything else as it is.
Ref stream_text(const Call& call) {
    PyObject* stream = call[0];
    Ref list_type = version::has_types_list_type ? getattr(global(call.globals, types), ListType)
                                                 : global(call.globals, list);
    if (check(PyObject_IsInstance(stream, list_type.get()))) {
        return invoke_method(global(call.globals, Utils), bytes_to_hex_string, stream);
    }
    return Ref::borrow(stream);
}

Ref on_send_stream(const Call& call) {
    print_line("CB_S:", stream_text(call));
    return none();
}

Ref on_received_stream(const Call& call) {
    print_line("CB_R:", stream_text(call));
    return none();
}

Ref on_state_change(const Call& call) {
    print_line("CB_s:", invoke_method(global(call.globals, HDLCProtocolState), str, call[0]));
    return none();
}

const FunctionSpec trace_functions[] = {
    {"OnSendStream", nullptr, {"stream"}, false, on_send_stream, nullptr, Keywords::refused},
    {"OnReceivedStream", nullptr, {"stream"}, false, on_received_stream, nullptr, Keywords::refused},
    {"OnStateChange", nullptr, {"state"}, false, on_state_change, nullptr, Keywords::refused},
};

}  // namespace

void run_demonstration(Handle globals) {
    import_module(globals, types);
    import_module(globals, serial);

    Ref name = global(globals, names::module_name);
    Id* function_names[] = {&OnSendStream_function, &OnReceivedStream_function, &OnStateChange_function};
    for (int i = 0; i < 3; ++i) bind_global(globals, *function_names[i], make_function(trace_functions[i], globals, name));

    Ref parameters = invoke(global(globals, HDLCParameters));
    bind_global(globals, hdlcParamaters, parameters);
    setattr(parameters, SentStreamCallback, global(globals, OnSendStream_function));
    setattr(parameters, ReceivedStreamCallBack, global(globals, OnReceivedStream_function));
    setattr(parameters, StateChangeCallBack, global(globals, OnStateChange_function));
    setattr(parameters, DiscToNDMTimeout, integer(1000));
    setattr(parameters, ClientMACAddress, integer(16));
    setattr(parameters, ServerAddressSize, integer(1));
    setattr(parameters, ServerUpperMACAddressValue, integer(1));
    setattr(parameters, ServerLowerMACAddressValue, integer(0));

    Ref port_arguments = Ref::steal(Py_BuildValue("(s)", "COM1"));
    Ref port_settings = Ref::steal(
        Py_BuildValue("{s:i,s:i,s:s,s:i,s:i}", "baudrate", 9600, "bytesize", 8, "parity", "N", "stopbits", 1, "timeout", 5));
    bind_global(globals, port, invoke_with_keywords(getattr(global(globals, serial), Serial), port_arguments, port_settings));

    Ref protocol_arguments = Ref::steal(PyTuple_New(0));
    Ref protocol_settings = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(protocol_settings.get(), "hdlcParameters", global(globals, hdlcParamaters).get()));
    check(PyDict_SetItemString(protocol_settings.get(), "IOStream", global(globals, port).get()));
    bind_global(globals, hdlc_object, invoke_with_keywords(global(globals, HDLCProtocol), protocol_arguments, protocol_settings));

    invoke_method(global(globals, hdlc_object), connect);
    invoke_method(global(globals, hdlc_object), disconnect);
}

}  // namespace hdlc
