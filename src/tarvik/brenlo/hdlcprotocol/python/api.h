// Throwing wrappers around the interpreter calls the module makes, so that
// the link procedures read as the Python they mirror: every call either
// succeeds and hands back an owned `Ref`, or throws `PythonError`.
#pragma once

#include "ref.h"

namespace hdlc {

// obj.name
inline Ref getattr(Handle object, Id& name) {
    return Ref::steal(PyObject_GetAttr(object.get(), name.get()));
}

// obj.name = value
inline void setattr(Handle object, Id& name, Handle value) {
    check(PyObject_SetAttr(object.get(), name.get(), value.get()));
}

// callable(args...)
template <class... Args>
Ref invoke(Handle callable, const Args&... args) {
    return Ref::steal(PyObject_CallFunctionObjArgs(callable.get(), Handle(args).get()..., nullptr));
}

// obj.name(args...)
template <class... Args>
Ref invoke_method(Handle object, Id& name, const Args&... args) {
    return Ref::steal(PyObject_CallMethodObjArgs(object.get(), name.get(), Handle(args).get()..., nullptr));
}

// callable(*args, **kwargs)
inline Ref invoke_with_keywords(Handle callable, Handle args, Handle kwargs) {
    return Ref::steal(PyObject_Call(callable.get(), args.get(), kwargs.get()));
}

// bool(obj)
inline bool truth(Handle object) { return check(PyObject_IsTrue(object.get())) != 0; }

// The value of `a <op> b` taken for its truth, exactly as the Python
// operator does it (no identity shortcut).
inline bool compare(Handle a, Handle b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a.get(), b.get(), op));
    return truth(result);
}
inline bool equal(Handle a, Handle b) { return compare(a, b, Py_EQ); }
inline bool not_equal(Handle a, Handle b) { return compare(a, b, Py_NE); }
inline bool less(Handle a, Handle b) { return compare(a, b, Py_LT); }

inline bool is_none(Handle object) { return object.get() == Py_None; }

inline Ref integer(long value) { return Ref::steal(version::integer_from_long(value)); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref string(const char* text) { return Ref::steal(version::text_from_string(text)); }

// `a == value` for an integer literal, with a fast path for plain ints.
inline bool equals(Handle a, long value) {
    long plain = 0;
    if (version::plain_integer_value(a.get(), &plain)) return plain == value;
    return equal(a, integer(value));
}
// `a < value` likewise.
inline bool less_than(Handle a, long value) {
    long plain = 0;
    if (version::plain_integer_value(a.get(), &plain)) return plain < value;
    return less(a, integer(value));
}

// len(obj)
inline Py_ssize_t len(Handle object) {
    Py_ssize_t size = PyObject_Size(object.get());
    if (size < 0) throw PythonError();
    return size;
}

// obj[index]
inline Ref item(Handle sequence, Py_ssize_t index) {
    if (PySequence_Check(sequence.get())) return Ref::steal(PySequence_GetItem(sequence.get(), index));
    Ref key = Ref::steal(version::integer_from_size(index));
    return Ref::steal(PyObject_GetItem(sequence.get(), key.get()));
}

// The value of one byte of an answer read from a stream: ord(obj) of a
// one-character string, with the built-in's own errors for anything else.
// On 3, where indexing bytes yields integers, an integer is its own value.
long byte_value(Handle object);

// The value of a module global as a function body sees it: the module's
// dictionary first, then the built-ins; NameError if neither has it.
Ref global(Handle globals, Id& name);

// globals[name] = value: a module-level binding.
inline void bind_global(Handle globals, Id& name, Handle value) {
    check(PyDict_SetItem(globals.get(), name.get(), value.get()));
}

// `import <name>` in the module whose dictionary is `globals`, bound under
// the same name (on 2.7 relative to its package first, then absolute).
inline void import_module(Handle globals, Id& name) {
    bind_global(globals, name, Ref::steal(version::import_module_level(name.text(), globals.get(), nullptr)));
}

// `raise instance`, as the statement treats an instance.
[[noreturn]] void raise_instance(Handle instance);

// Sets a Python exception of `type` with a formatted message and throws.
[[noreturn]] void raise_error(PyObject* type, const char* format, ...);

// A text made with the interpreter's printf-like format (%s, %d, %p...).
Ref format_text(const char* format, ...);

}  // namespace hdlc
