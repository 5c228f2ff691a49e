// The differences between the interpreter versions the module builds for
// (CPython 2.7 and CPython 3.9 or newer), each behind one small function, so
// that every other file is written once for both.
//
// Words used here: a *text* is what the interpreter calls its string type
// (str on both: a byte string on 2.7, Unicode on 3); a *byte string* is
// bytes on 3 and str on 2.7, which 2.7 also calls bytes.
#pragma once

#include "python.h"

#include <cstdarg>

#if PY_MAJOR_VERSION >= 3
#define TARVIK_PYTHON3 1
#else
#define TARVIK_PYTHON3 0
#endif

namespace hdlc::version {

// Indexing or iterating a byte string yields integers on 3, one-character
// byte strings on 2.7.
constexpr bool byte_items_are_integers = TARVIK_PYTHON3;

// The type of lists is types.ListType on 2.7; on 3 only the built-in `list`
// names it.
constexpr bool has_types_list_type = !TARVIK_PYTHON3;

// ---- Integers -------------------------------------------------------------

inline PyObject* integer_from_long(long value) {
#if TARVIK_PYTHON3
    return PyLong_FromLong(value);
#else
    return PyInt_FromLong(value);
#endif
}

inline PyObject* integer_from_size(Py_ssize_t value) {
#if TARVIK_PYTHON3
    return PyLong_FromSsize_t(value);
#else
    return PyInt_FromSsize_t(value);
#endif
}

// The value of exactly the plain integer type (never a subclass), read
// without a call: true and `*value` set, or false.
inline bool plain_integer_value(PyObject* object, long* value) {
#if TARVIK_PYTHON3
    if (!PyLong_CheckExact(object)) return false;
    int overflow = 0;
    *value = PyLong_AsLongAndOverflow(object, &overflow);
    return overflow == 0 && !(*value == -1 && PyErr_Occurred());
#else
    if (!PyInt_CheckExact(object)) return false;
    *value = PyInt_AS_LONG(object);
    return true;
#endif
}

// Any integer as a C long; -1 with the error set on failure.
inline long integer_as_long(PyObject* object) {
#if TARVIK_PYTHON3
    return PyLong_AsLong(object);
#else
    return PyInt_AsLong(object);
#endif
}

// ---- Texts ----------------------------------------------------------------

inline bool is_text(PyObject* object) {
#if TARVIK_PYTHON3
    return PyUnicode_Check(object);
#else
    return PyString_Check(object);
#endif
}

inline PyObject* text_from_string(const char* text) {
#if TARVIK_PYTHON3
    return PyUnicode_FromString(text);
#else
    return PyString_FromString(text);
#endif
}

inline PyObject* text_from_format_v(const char* format, va_list arguments) {
#if TARVIK_PYTHON3
    return PyUnicode_FromFormatV(format, arguments);
#else
    return PyString_FromFormatV(format, arguments);
#endif
}

inline PyObject* interned_text(const char* text) {
#if TARVIK_PYTHON3
    return PyUnicode_InternFromString(text);
#else
    return PyString_InternFromString(text);
#endif
}

// The characters of a text, valid while the text lives; NULL with the
// error set if they cannot be had (a 3 text with lone surrogates).
inline const char* text_characters(PyObject* text) {
#if TARVIK_PYTHON3
    return PyUnicode_AsUTF8(text);
#else
    return PyString_AS_STRING(text);
#endif
}

// A keyword as a TypeError message quotes it: a text as it is, a 2.7
// unicode keyword in the default encoding.  New reference, NULL on error.
inline PyObject* keyword_as_text(PyObject* keyword) {
#if !TARVIK_PYTHON3
    if (!PyString_Check(keyword)) return PyUnicode_AsEncodedString(keyword, nullptr, "replace");
#endif
    Py_INCREF(keyword);
    return keyword;
}

// Whether a keyword argument's name has a type a function accepts: str on
// 3; str or unicode on 2.7.
inline bool is_keyword_name(PyObject* object) { return is_text(object) || PyUnicode_Check(object); }

// The length of a Unicode text, and its last character (the text must not
// be empty).
inline Py_ssize_t unicode_length(PyObject* text) {
#if TARVIK_PYTHON3
    return PyUnicode_GET_LENGTH(text);
#else
    return PyUnicode_GET_SIZE(text);
#endif
}
inline Py_UCS4 unicode_last_character(PyObject* text) {
#if TARVIK_PYTHON3
    return PyUnicode_READ_CHAR(text, PyUnicode_GET_LENGTH(text) - 1);
#else
    return PyUnicode_AS_UNICODE(text)[PyUnicode_GET_SIZE(text) - 1];
#endif
}

// ---- Errors whose wording differs ---------------------------------------

// The NameError of a global that neither the module nor the built-ins have.
constexpr const char undefined_global_format[] =
#if TARVIK_PYTHON3
    "name '%.200s' is not defined";
#else
    "global name '%.200s' is not defined";
#endif

// The TypeError of `raise` given something that is not an exception.
constexpr const char not_an_exception_format[] =
#if TARVIK_PYTHON3
    "exceptions must derive from BaseException";
#else
    "exceptions must be old-style classes or derived from BaseException, not %.200s";
#endif

// ---- Imports ----------------------------------------------------------------

// `import name` / `from name import fromlist` as a module body writes it:
// 2.7 tries the package of `globals` first, then the absolute name; 3 has
// absolute imports only.  New reference, NULL on error.
inline PyObject* import_module_level(const char* name, PyObject* globals, PyObject* fromlist) {
    return PyImport_ImportModuleLevel(const_cast<char*>(name), globals, nullptr, fromlist, TARVIK_PYTHON3 ? 0 : -1);
}

// ---- Methods ------------------------------------------------------------------

// `function` bound to `instance` (which is not NULL) as a method.
inline PyObject* bound_method(PyObject* function, PyObject* instance, PyObject* cls) {
#if TARVIK_PYTHON3
    (void)cls;
    return PyMethod_New(function, instance);
#else
    return PyMethod_New(function, instance, cls);
#endif
}

// `function` as a method of the class `cls`: looked up on an instance, it
// is called with the instance first.  An unbound method on 2.7, which also
// checks that a first argument given through the class is a `cls`; an
// instance method on 3.  New reference, NULL on error.
inline PyObject* method_of_class(PyObject* function, PyObject* cls) {
#if TARVIK_PYTHON3
    (void)cls;
    return PyInstanceMethod_New(function);
#else
    return PyMethod_New(function, nullptr, cls);
#endif
}

// ---- Types ------------------------------------------------------------------

// Prepares a static type object before its slots are filled.
inline void init_type_object(PyTypeObject& type) {
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_TYPE(&type, &PyType_Type);
    Py_SET_REFCNT(&type, 1);
#else
    Py_TYPE(&type) = &PyType_Type;
    Py_REFCNT(&type) = 1;
#endif
}

// ---- The print statement's soft space ------------------------------------

// Python 2's print statement remembers, in the attribute `softspace` of
// the file it writes to, whether the next item needs a space before it.
// Returns the old flag and sets the new one; errors are ignored, as the
// statement ignores them.  Python 3 keeps no such flag, so the same
// attribute is kept here for it.
inline int soft_space(PyObject* file, int flag) {
#if TARVIK_PYTHON3
    long old_flag = 0;
    if (PyObject* value = PyObject_GetAttrString(file, "softspace")) {
        if (PyLong_Check(value)) old_flag = PyLong_AsLong(value);
        Py_DECREF(value);
    }
    PyErr_Clear();
    if (PyObject* value = PyLong_FromLong(flag)) {
        PyObject_SetAttrString(file, "softspace", value);
        Py_DECREF(value);
    }
    PyErr_Clear();
    return static_cast<int>(old_flag);
#else
    return PyFile_SoftSpace(file, flag);
#endif
}

// Writes an item as the print statement writes it: in its plain string
// form, which for a byte string or byte array is its bytes.  A Python 3
// text stream takes them as Latin-1 characters, one per byte.
inline int write_item(PyObject* item, PyObject* file) {
#if TARVIK_PYTHON3
    if (PyBytes_Check(item) || PyByteArray_Check(item)) {
        const char* bytes = PyBytes_Check(item) ? PyBytes_AS_STRING(item) : PyByteArray_AS_STRING(item);
        const Py_ssize_t size = PyBytes_Check(item) ? PyBytes_GET_SIZE(item) : PyByteArray_GET_SIZE(item);
        PyObject* text = PyUnicode_DecodeLatin1(bytes, size, nullptr);
        if (text == nullptr) return -1;
        const int status = PyFile_WriteObject(text, file, Py_PRINT_RAW);
        Py_DECREF(text);
        return status;
    }
#endif
    return PyFile_WriteObject(item, file, Py_PRINT_RAW);
}

// ---- Modules --------------------------------------------------------------------

// The module `name` with the documentation string `doc`, new reference.
// 2.7 makes it in sys.modules (for "__main__", finds the one there); 3
// makes a new module object for the importer to register, except for
// "__main__", which it also finds in sys.modules.  `name` and `doc` must be
// static.
PyObject* create_module(const char* name, const char* doc);

// Starts an embedded interpreter with sys.argv from `argv`, leaving
// sys.path as the interpreter sets it.
void initialise_interpreter(int argc, char** argv);

}  // namespace hdlc::version

// Defines the module's initialiser, whose body returns the new module (a
// new reference, or NULL with the error set): `PyInit_<name>` returning it
// on 3, `init<name>` returning nothing on 2.7, where the module lives on in
// sys.modules.
#if TARVIK_PYTHON3
#define TARVIK_MODULE_INITIALISER(name) extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name()
#else
#define TARVIK_MODULE_INITIALISER(name)                                                  \
    static PyObject* initialise_##name();                                                \
    extern "C" __attribute__((visibility("default"))) void init##name() {                \
        Py_XDECREF(initialise_##name());                                                 \
    }                                                                                    \
    static PyObject* initialise_##name()
#endif
