#include "python_api.h"

#include <cstdarg>

namespace hdlc {

long ord(Handle object) {
    PyObject* o = object.get();
    if (PyString_Check(o) && PyString_GET_SIZE(o) == 1) {
        return static_cast<unsigned char>(PyString_AS_STRING(o)[0]);
    }
    // Anything else goes to the built-in, which knows every accepted type
    // and words the errors the way a Python caller expects.
    static Id ord_name("ord");
    Ref builtin = Ref::borrow(PyDict_GetItem(PyEval_GetBuiltins(), ord_name.get()));
    if (!builtin) raise_error(PyExc_NameError, "global name 'ord' is not defined");
    Ref value = invoke(builtin, o);
    long result = PyInt_AsLong(value.get());
    if (result == -1 && PyErr_Occurred()) throw PythonError();
    return result;
}

Ref global(Handle globals, Id& name) {
    if (PyObject* value = PyDict_GetItem(globals.get(), name.get())) return Ref::borrow(value);
    if (PyObject* value = PyDict_GetItem(PyEval_GetBuiltins(), name.get())) return Ref::borrow(value);
    raise_error(PyExc_NameError, "global name '%.200s' is not defined", name.text());
}

void raise_instance(Handle instance) {
    PyObject* value = instance.get();
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExceptionInstance_Class(value), value);
        throw PythonError();
    }
    raise_error(PyExc_TypeError, "exceptions must be old-style classes or derived from BaseException, not %.200s",
                Py_TYPE(value)->tp_name);
}

void raise_error(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyObject* text = PyString_FromFormatV(format, arguments);
    va_end(arguments);
    Ref message = Ref::steal(text);
    PyErr_SetObject(type, message.get());
    throw PythonError();
}

}  // namespace hdlc
