// Module set-up: the initialiser, the companion imports and the building of
// the class HDLCProtocol with its constants, properties and methods.
#include "module.h"

#include "demonstration.h"
#include "python/function_type.h"
#include "names.h"
#include "protocol.h"
#include "python/api.h"

namespace hdlc {
namespace {

using namespace names;

const char module_qualified_name[] = "tarvik.brenlo.hdlcprotocol";

const char banner[] =
    "**********************************************************************\n"
    "  DLMS/COSEM components\n"
    "\n"
    "  tarvik - HDLC link layer client for DLMS/COSEM meters\n"
    "  written by the tarvik developers\n"
    "\n"
    "  tarvik\n"
    "**********************************************************************\n"
    "\n";

const char class_doc[] = "Implementation of the HDLC protocol.";

// Documentation strings of the methods, epytext style.
const char set_State_doc[] =
    "Sets new state and invoke _OnStateChanged(state) callback if defined.\n"
    "            @note: State is a read only property ! use self._set_State(state) !\n"
    "        ";

const char init_doc[] =
    "Creates an instance of HDLCProtocol class.\n"
    "            @param hdlcParameters: HDLC parameters to use.\n"
    "            @param IOStream: IOStream to send/receive data to/from the meter\n"
    "                any object which provides the following methods:\n"
    "            def read(self, size=1):\n"
    "                Read size bytes from the stream. A timeout mechanism should be implemented.\n"
    "                If a timeout is set it may return less characters as requested.\n"
    "            def write(self, data):\n"
    "                Output the given bytes over the stream.\n"
    "                \n"
    "            @raise exception: BrenloException - raised for any detected error\n"
    "        ";

const char connect_doc[] =
    "Connects the HDLC channel to the server.\n"
    "            @raise BrenloException: Raised for any detected error.\n"
    "        ";

const char disconnect_doc[] =
    "Disconnects the HDLC channel from the server.\n"
    "            @raise BrenloException: Raised for any detected error.\n"
    "        ";

const char send_receive_doc[] =
    "Sends bytes to the server and then receives bytes from the server.\n"
    "            @param outData: byte[] Byte stream to be send to the server.\n"
    "            @return: type:MemoryStream Received bytes.\n"
    "            @raise BrenloException: Raised for any detected error.\n"
    "        ";

const char send_receive_bytes_doc[] =
    "Sends and receive bytes to/from Server.\n"
    "            @param bytes: byte[] to send.\n"
    "            @param log: bool - log send/receviec stream\n"
    "            @return: type:MemoryStream received bytes\n"
    "            @note: we always try to get a 'whole' frame by determining it's length\n"
    "                after having received the first 3 bytes. Nevertheless, in case of\n"
    "                Timeout, we may return an incomplete frame.\n"
    "        ";

const char raise_exception_doc[] =
    "Raise an BrenloException.\n"
    "            @param messge: The message to raise.\n"
    "        ";

const char read_data_integer_doc[] =
    "Reads an integer from the bytes stream\n"
    "            @param s: MemoryStream\n"
    "            @return: int\n"
    "        ";

// A property backed by a field: its getter, its setter (none for State)
// and its documentation string.
struct PropertySpec {
    Id& name;
    FunctionSpec getter;
    FunctionSpec setter;
    bool read_only;
    const char* doc;
};

using protocol::get_field;
using protocol::set_field;

const PropertySpec properties[] = {
    {OnSentStream,
     {"_get_OnSentStream", nullptr, {"self"}, false, get_field, &OnSentStream_},
     {"_set_OnSentStream", nullptr, {"self", "OnSentStream"}, false, set_field, &OnSentStream_},
     false,
     "Callback called when a frame is sent to the server."},
    {OnReceivedStream,
     {"_get_OnReceivedStream", nullptr, {"self"}, false, get_field, &OnReceivedStream_},
     {"_set_OnReceivedStream", nullptr, {"self", "OnReceivedStream"}, false, set_field, &OnReceivedStream_},
     false,
     "Callback called when a frame is received from the server."},
    {OnStateChanged,
     {"_get_OnStateChanged", nullptr, {"self"}, false, get_field, &OnStateChanged_},
     {"_set_OnStateChanged", nullptr, {"self", "OnStateChanged"}, false, set_field, &OnStateChanged_},
     false,
     "Callback called when the HDLC state changes."},
    {LocalAddress,
     {"_get_local_address", nullptr, {"self"}, false, get_field, &LocalAddress_},
     {"_set_LocalAddress", nullptr, {"self", "LocalAddress"}, false, set_field, &LocalAddress_},
     false,
     "Client device address."},
    {RemoteAddress,
     {"_get_remote_address", nullptr, {"self"}, false, get_field, &RemoteAddress_},
     {"_set_RemoteAddress", nullptr, {"self", "RemoteAddress"}, false, set_field, &RemoteAddress_},
     false,
     "Server, device address."},
    // State has no setter: _set_State is an ordinary method, placed where
    // the setter would stand, and changes the state with its side effects.
    {State,
     {"_get_State", nullptr, {"self"}, false, get_field, &State_},
     {"_set_State", set_State_doc, {"self", "state"}, false, protocol::set_State},
     true,
     "HDLC state."},
};

const FunctionSpec methods[] = {
    {"__init__", init_doc, {"self", "hdlcParameters", "IOStream"}, false, protocol::init},
    {"connect", connect_doc, {"self"}, false, protocol::connect},
    {"disconnect", disconnect_doc, {"self"}, false, protocol::disconnect},
    {"poll", nullptr, {"self", "log"}, true, protocol::poll},
    {"send_receive", send_receive_doc, {"self", "outData"}, false, protocol::send_receive},
    {"_send_receive_bytes", send_receive_bytes_doc, {"self", "bytes_", "log"}, true, protocol::send_receive_bytes},
    {"_raise_exception", raise_exception_doc, {"self", "message"}, false, protocol::raise_exception},
    {"_read_data_integer", read_data_integer_doc, {"self", "s"}, false, protocol::read_data_integer},
};

// from <module> import <names...>, binding each name as soon as it is found.
void import_names(Handle globals, const char* module, std::initializer_list<Id*> wanted) {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(wanted.size())));
    Py_ssize_t index = 0;
    for (Id* name : wanted) PyTuple_SET_ITEM(fromlist.get(), index++, Ref::borrow(name->get()).release());

    Ref imported = Ref::steal(version::import_module_level(module, globals.get(), fromlist.get()));
    for (Id* name : wanted) {
        PyObject* value = PyObject_GetAttr(imported.get(), name->get());
        if (value == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Format(PyExc_ImportError, "cannot import name %.230s", name->text());
            }
            throw PythonError();
        }
        bind_global(globals, *name, Ref::steal(value));
    }
}

Ref make_property(Handle getter, Handle setter, const char* doc) {
    return invoke(reinterpret_cast<PyObject*>(&PyProperty_Type), getter, setter, Py_None, string(doc));
}

Ref build_class(Handle globals) {
    Ref module_name = string(module_qualified_name);
    Ref ns = Ref::steal(PyDict_New());
    auto put = [&ns](const char* key, Handle value) { check(PyDict_SetItemString(ns.get(), key, value.get())); };
    auto function = [&](const FunctionSpec& spec) {
        return make_function(spec, globals, module_name, HDLCProtocol.text());
    };

    // As a class statement fills it, in the order of the class body.
    put("__module__", module_name);
    put("__doc__", string(class_doc));
    put("_DefaultWindowSize_", integer(1));
    put("_DefaultInfoFieldLength_", integer(128));
    for (const PropertySpec& property : properties) {
        Ref getter = function(property.getter);
        Ref setter = function(property.setter);
        put(property.getter.name, getter);
        put(property.setter.name, setter);
        put(property.name.text(), make_property(getter, property.read_only ? Handle(Py_None) : Handle(setter),
                                                property.doc));
    }
    put("_LLCRequestPrefix_", Ref::steal(Py_BuildValue("[iii]", 0xE6, 0xE6, 0x00)));
    put("_LLCResponsePrefix_", Ref::steal(Py_BuildValue("[iii]", 0xE6, 0xE7, 0x00)));
    for (const FunctionSpec& method : methods) put(method.name, function(method));

    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return invoke(reinterpret_cast<PyObject*>(&PyType_Type), string(HDLCProtocol.text()), bases, ns);
}

}  // namespace

Ref initialise_module(const char* name) {
    try {
        ready_function_type();
        Ref module = Ref::steal(version::create_module(name, banner));
        Ref globals = Ref::borrow(PyModule_GetDict(module.get()));

        import_module(globals, names::time);
        import_names(globals, "tarvik.utils", {&Utils});
        import_names(globals, "tarvik.memorystream", {&MemoryStream});
        import_names(globals, "tarvik.brenlo", {&HDLCProtocolState, &HDLCParameters});
        import_names(globals, "tarvik.brenlo.frame", {&Frame});
        import_names(globals, "tarvik.brenlo.brenloexception", {&BrenloException, &BrenloExceptionKind});

        bind_global(globals, HDLCProtocol, build_class(globals));

        if (equal(global(globals, module_name), string("__main__"))) run_demonstration(globals);
        return module;
    } catch (const PythonError&) {
        // The error stays set for the importer.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return Ref();
}

}  // namespace hdlc

TARVIK_MODULE_INITIALISER(hdlcprotocol) { return hdlc::initialise_module("hdlcprotocol").release(); }
