#include "api.h"

#include <cstdarg>

namespace hdlc {

long byte_value(Handle object) {
    PyObject* o = object.get();
    if (PyBytes_Check(o) && PyBytes_GET_SIZE(o) == 1) {
        return static_cast<unsigned char>(PyBytes_AS_STRING(o)[0]);
    }
    if (version::byte_items_are_integers && PyLong_Check(o)) {
        const long value = version::integer_as_long(o);
        if (value == -1 && PyErr_Occurred()) throw PythonError();
        return value;
    }
    // Anything else goes to the built-in, which knows every accepted type
    // and words the errors the way a Python caller expects.
    static Id ord_name("ord");
    Ref builtin = Ref::borrow(PyDict_GetItem(PyEval_GetBuiltins(), ord_name.get()));
    if (!builtin) raise_error(PyExc_NameError, version::undefined_global_format, "ord");
    Ref value = invoke(builtin, o);
    const long result = version::integer_as_long(value.get());
    if (result == -1 && PyErr_Occurred()) throw PythonError();
    return result;
}

Ref global(Handle globals, Id& name) {
    if (PyObject* value = PyDict_GetItem(globals.get(), name.get())) return Ref::borrow(value);
    if (PyObject* value = PyDict_GetItem(PyEval_GetBuiltins(), name.get())) return Ref::borrow(value);
    raise_error(PyExc_NameError, version::undefined_global_format, name.text());
}

void raise_instance(Handle instance) {
    PyObject* value = instance.get();
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExceptionInstance_Class(value), value);
        throw PythonError();
    }
    raise_error(PyExc_TypeError, version::not_an_exception_format, Py_TYPE(value)->tp_name);
}

void raise_error(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyObject* text = version::text_from_format_v(format, arguments);
    va_end(arguments);
    Ref message = Ref::steal(text);
    PyErr_SetObject(type, message.get());
    throw PythonError();
}

Ref format_text(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyObject* text = version::text_from_format_v(format, arguments);
    va_end(arguments);
    return Ref::steal(text);
}

}  // namespace hdlc
