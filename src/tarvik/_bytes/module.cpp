// tarvik._bytes: the loops over byte values that the companions run for
// every frame, done here in one pass without intermediate objects.
//
// Byte values travel as lists of ints 0 to 255. Each function here takes
// only items it can read without running Python code: plain ints, bools
// and (on 2.7) plain longs, in lists, tuples, byte strings and bytearrays
// of exactly those types, whose items it reads directly. On any other item
// or sequence it returns None, and the caller repeats the work in Python,
// which gives the result or raises the error that it always did.
#include "../brenlo/hdlcprotocol/python/ref.h"
#include "../brenlo/hdlcprotocol/python/version.h"

#include <array>
#include <cstdint>
#include <string>

namespace {

// The value of a byte item, or -1 for an item that is not an integer
// read without a call or lies outside 0 to 255.
long byte_value(PyObject* item) {
    long value = 0;
    if (!hdlc::version::plain_integer_value(item, &value)) {
        if (PyBool_Check(item)) return item == Py_True ? 1 : 0;
        if (TARVIK_PYTHON3 || !PyLong_CheckExact(item)) return -1;
        int overflow = 0;
        value = PyLong_AsLongAndOverflow(item, &overflow);  // a 2.7 long: cannot fail
        if (overflow != 0) return -1;
    }
    return value >= 0 && value <= 255 ? value : -1;
}

// The range [start, end) of a sequence of `size` items; end -1 stands for
// the end.  False with ValueError set if it does not lie within.
bool resolve_range(Py_ssize_t size, Py_ssize_t start, Py_ssize_t& end) {
    if (end == -1) end = size;
    if (start < 0 || end < start || end > size) {
        PyErr_Format(PyExc_ValueError, "range %zd:%zd outside a sequence of %zd items", start, end, size);
        return false;
    }
    return true;
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// byte_list(values, start=0, end=-1) -> list or None
PyObject* byte_list(PyObject*, PyObject* args) {
    PyObject* values = nullptr;
    Py_ssize_t start = 0;
    Py_ssize_t end = -1;
    if (!PyArg_ParseTuple(args, "O|nn:byte_list", &values, &start, &end)) return nullptr;
    if (!PyList_CheckExact(values)) return none();
    if (!resolve_range(PyList_GET_SIZE(values), start, end)) return nullptr;
    try {
        hdlc::Ref result = hdlc::Ref::steal(PyList_New(end - start));
        // Making the list may run a collection, and a finalizer may shrink
        // `values`. Nothing below allocates: the ints 0 to 255 are shared.
        if (PyList_GET_SIZE(values) < end) return none();
        for (Py_ssize_t index = start; index < end; ++index) {
            PyObject* item = PyList_GET_ITEM(values, index);
            long value = 0;
            if (hdlc::version::plain_integer_value(item, &value)) {
                if (value < 0 || value > 255) return none();
                Py_INCREF(item);  // already the plain int wanted
            } else {
                value = byte_value(item);
                if (value < 0) return none();
                item = hdlc::version::integer_from_long(value);
                if (item == nullptr) return nullptr;
            }
            PyList_SET_ITEM(result.get(), index - start, item);
        }
        return result.release();
    } catch (const hdlc::PythonError&) {
        return nullptr;
    }
}

// CRC-16/X.25 one byte at a time: reflected polynomial 0x8408.
constexpr std::array<std::uint16_t, 256> crc_table = [] {
    std::array<std::uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned crc = byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0x8408 : crc >> 1;
        table[byte] = static_cast<std::uint16_t>(crc);
    }
    return table;
}();

inline unsigned crc_step(unsigned crc, unsigned byte) { return (crc >> 8) ^ crc_table[(crc ^ byte) & 0xFF]; }

// crc16(values, start=0, end=-1) -> int or None
PyObject* crc16(PyObject*, PyObject* args) {
    PyObject* values = nullptr;
    Py_ssize_t start = 0;
    Py_ssize_t end = -1;
    if (!PyArg_ParseTuple(args, "O|nn:crc16", &values, &start, &end)) return nullptr;
    unsigned crc = 0xFFFF;
    if (PyList_CheckExact(values) || PyTuple_CheckExact(values)) {
        // No call below runs Python code, so the sequence keeps its items.
        PyObject** items = PySequence_Fast_ITEMS(values);
        if (!resolve_range(PySequence_Fast_GET_SIZE(values), start, end)) return nullptr;
        for (Py_ssize_t index = start; index < end; ++index) {
            const long value = byte_value(items[index]);
            if (value < 0) return none();
            crc = crc_step(crc, static_cast<unsigned>(value));
        }
    } else if (PyBytes_CheckExact(values) || PyByteArray_CheckExact(values)) {
        const bool is_bytes = PyBytes_CheckExact(values);
        const auto* bytes = reinterpret_cast<const unsigned char*>(is_bytes ? PyBytes_AS_STRING(values)
                                                                            : PyByteArray_AS_STRING(values));
        if (!resolve_range(is_bytes ? PyBytes_GET_SIZE(values) : PyByteArray_GET_SIZE(values), start, end))
            return nullptr;
        for (Py_ssize_t index = start; index < end; ++index) crc = crc_step(crc, bytes[index]);
    } else {
        return none();
    }
    return hdlc::version::integer_from_long(static_cast<long>(crc ^ 0xFFFF));
}

hdlc::Id length_name("_length");
hdlc::Id buffer_name("_buffer");

// MemoryStream.write_byte(stream, value) for a plain int 0 to 255 and a
// stream whose _length is a plain int and _buffer a list, as the Python
// method `python_write_byte` does it; that method does every other call.
// A failing look-up of _length or _buffer raises what the method would.
PyObject* write_byte(PyObject* python_write_byte, PyObject* args, PyObject* kwargs) {
    long value = 0;
    if (kwargs != nullptr || PyTuple_GET_SIZE(args) != 2 ||
        !hdlc::version::plain_integer_value(PyTuple_GET_ITEM(args, 1), &value) || value < 0 || value > 255)
        return PyObject_Call(python_write_byte, args, kwargs);
    PyObject* stream = PyTuple_GET_ITEM(args, 0);
    PyObject* item = PyTuple_GET_ITEM(args, 1);
    try {
        hdlc::Ref length = hdlc::Ref::steal(PyObject_GetAttr(stream, length_name.get()));
        hdlc::Ref buffer = hdlc::Ref::steal(PyObject_GetAttr(stream, buffer_name.get()));
        long used = 0;
        if (!hdlc::version::plain_integer_value(length.get(), &used) || used < 0 || !PyList_CheckExact(buffer.get()))
            return PyObject_Call(python_write_byte, args, kwargs);
        // From here on the Python method would fail where this does.
        if (used < PyList_GET_SIZE(buffer.get())) {
            Py_INCREF(item);
            hdlc::check(PyList_SetItem(buffer.get(), used, item));
        } else {
            hdlc::check(PyList_Append(buffer.get(), item));
        }
        hdlc::Ref next = hdlc::Ref::steal(hdlc::version::integer_from_long(used + 1));
        hdlc::check(PyObject_SetAttr(stream, length_name.get(), next.get()));
        return none();
    } catch (const hdlc::PythonError&) {
        return nullptr;
    }
}

PyMethodDef write_byte_definition = {
    "write_byte", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_byte)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

// stream_method(cls, python_write_byte) -> method
PyObject* stream_method(PyObject*, PyObject* args) {
    PyObject* cls = nullptr;
    PyObject* python_write_byte = nullptr;
    if (!PyArg_ParseTuple(args, "OO:stream_method", &cls, &python_write_byte)) return nullptr;
    // The method documents itself with the first Python method's text,
    // kept for the life of the process as the definition needs it.
    if (write_byte_definition.ml_doc == nullptr) {
        static std::string doc;
        PyObject* found = PyObject_GetAttrString(python_write_byte, "__doc__");
        if (found == nullptr) return nullptr;
        const char* characters = hdlc::version::is_text(found) ? hdlc::version::text_characters(found) : "";
        if (characters != nullptr) doc = characters;
        Py_DECREF(found);
        if (characters == nullptr) return nullptr;
        write_byte_definition.ml_doc = doc.c_str();
    }
    PyObject* function = PyCFunction_NewEx(&write_byte_definition, python_write_byte, nullptr);
    if (function == nullptr) return nullptr;
    PyObject* method = hdlc::version::method_of_class(function, cls);
    Py_DECREF(function);
    return method;
}

// stream_length(stream) -> stream._length
PyObject* stream_length(PyObject*, PyObject* stream) {
    try {
        return PyObject_GetAttr(stream, length_name.get());
    } catch (const hdlc::PythonError&) {
        return nullptr;
    }
}

PyMethodDef functions[] = {
    {"byte_list", byte_list, METH_VARARGS,
     "byte_list(values, start=0, end=-1) -> list or None\n\n"
     "The items values[start:end] of a list as a new list of plain ints 0 to 255 (end -1: the\n"
     "list's end). None when values is not a list or an item is not an int, bool or long in\n"
     "that range. ValueError when the range does not lie within the list."},
    {"crc16", crc16, METH_VARARGS,
     "crc16(values, start=0, end=-1) -> int or None\n\n"
     "The CRC-16/X.25 of values[start:end], a list or tuple of ints 0 to 255 or a byte string\n"
     "or bytearray (end -1: the end). None for any other sequence or item, as for byte_list.\n"
     "ValueError when the range does not lie within values."},
    {"stream_method", stream_method, METH_VARARGS,
     "stream_method(cls, python_write_byte) -> method\n\n"
     "MemoryStream.write_byte in C++ for the class cls: it appends a plain int 0 to 255 itself\n"
     "and passes every other call to python_write_byte, the method as Python writes it."},
    {"stream_length", stream_length, METH_O,
     "stream_length(stream) -> stream._length: the getter of MemoryStream.length."},
    {nullptr, nullptr, 0, nullptr}};

const char module_doc[] =
    "The per-byte loops of tarvik.memorystream and tarvik.brenlo.frame. A function that\n"
    "returns None could not do the work without running Python code; its caller does it in\n"
    "Python then.";

}  // namespace

TARVIK_MODULE_INITIALISER(_bytes) {
    try {
        hdlc::Ref module = hdlc::Ref::steal(hdlc::version::create_module("_bytes", module_doc));
        hdlc::Ref name = hdlc::Ref::steal(hdlc::version::text_from_string("tarvik._bytes"));
        for (PyMethodDef* function = functions; function->ml_name != nullptr; ++function) {
            PyObject* object = PyCFunction_NewEx(function, nullptr, name.get());
            if (object == nullptr || PyModule_AddObject(module.get(), function->ml_name, object) < 0) {
                Py_XDECREF(object);
                throw hdlc::PythonError();
            }
        }
        return module.release();
    } catch (const hdlc::PythonError&) {
        return nullptr;
    }
}
