#include "function_type.h"

#include "python_api.h"

#include <cstring>
#include <new>

namespace hdlc {
namespace {

struct FunctionObject {
    PyObject_HEAD
    const FunctionSpec* spec;
    std::size_t parameter_count;
    PyObject* name;       // __name__
    PyObject* doc;        // __doc__
    PyObject* module;     // __module__
    PyObject* defaults;   // __defaults__, NULL when there are none
    PyObject* globals;
    PyObject* dict;       // __dict__, created on demand
};

PyTypeObject function_type;

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

std::size_t count_parameters(const FunctionSpec& spec) {
    std::size_t count = 0;
    while (count < max_parameters && spec.parameters[count] != nullptr) ++count;
    return count;
}

const char* plural(std::size_t count) { return count == 1 ? "" : "s"; }

[[noreturn]] void wrong_count(const FunctionSpec& spec, const char* bound, std::size_t expected,
                              Py_ssize_t given) {
    raise_error(PyExc_TypeError, "%s() takes %s %d positional argument%s (%d given)", spec.name, bound,
                static_cast<int>(expected), plural(expected), static_cast<int>(given));
}

// Resolves positional and keyword arguments into one slot per parameter,
// the way a Python function binds its arguments.
void bind_arguments(const FunctionObject& function, PyObject* args, PyObject* kwargs, Ref* slots) {
    const FunctionSpec& spec = *function.spec;
    const std::size_t total = function.parameter_count;
    const Py_ssize_t default_count = function.defaults ? PyTuple_GET_SIZE(function.defaults) : 0;
    const std::size_t required = total - static_cast<std::size_t>(default_count);
    const Py_ssize_t given = PyTuple_GET_SIZE(args);

    if (given > static_cast<Py_ssize_t>(total)) {
        wrong_count(spec, default_count ? "at most" : "exactly", total, given);
    }
    for (Py_ssize_t i = 0; i < given; ++i) slots[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));

    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        if (spec.keywords == Keywords::refused) {
            raise_error(PyExc_TypeError, "%s() takes no keyword arguments", spec.name);
        }
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyString_Check(key)) raise_error(PyExc_TypeError, "%s() keywords must be strings", spec.name);
            const char* keyword = PyString_AS_STRING(key);
            std::size_t index = 0;
            while (index < total && std::strcmp(spec.parameters[index], keyword) != 0) ++index;
            if (index == total) {
                raise_error(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", spec.name, keyword);
            }
            if (slots[index]) {
                raise_error(PyExc_TypeError, "%s() got multiple values for keyword argument '%s'", spec.name,
                            keyword);
            }
            slots[index] = Ref::borrow(value);
        }
    }

    for (std::size_t i = 0; i < required; ++i) {
        // The count reported is the position of the first parameter missing.
        if (!slots[i]) wrong_count(spec, default_count ? "at least" : "exactly", required, static_cast<Py_ssize_t>(i));
    }
    for (std::size_t i = required; i < total; ++i) {
        if (!slots[i]) slots[i] = Ref::borrow(PyTuple_GET_ITEM(function.defaults, i - required));
    }
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject& function = *as_function(self);
    if (Py_EnterRecursiveCall(" in hdlcprotocol")) return nullptr;
    PyObject* result = nullptr;
    try {
        // Each slot holds its own reference: a callback that mutates the
        // caller's containers cannot pull an argument out from under us.
        Ref slots[max_parameters];
        bind_arguments(function, args, kwargs, slots);
        PyObject* arguments[max_parameters] = {};
        for (std::size_t i = 0; i < function.parameter_count; ++i) arguments[i] = slots[i].get();
        Ref globals = Ref::borrow(function.globals);
        result = function.spec->body(Call{arguments, globals.get(), function.spec->data}).release();
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    Py_LeaveRecursiveCall();
    return result;
}

// Functions bind like Python functions: an instance makes a bound method,
// the class an unbound one.
PyObject* function_get(PyObject* self, PyObject* object, PyObject* type) {
    if (object == Py_None) object = nullptr;
    return PyMethod_New(self, object, type);
}

PyObject* function_repr(PyObject* self) {
    return PyString_FromFormat("<function %s at %p>", as_function(self)->spec->name, static_cast<void*>(self));
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(function->name);
    Py_VISIT(function->doc);
    Py_VISIT(function->module);
    Py_VISIT(function->defaults);
    Py_VISIT(function->globals);
    Py_VISIT(function->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->module);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyMemberDef function_members[] = {
    {const_cast<char*>("__name__"), T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {const_cast<char*>("__defaults__"), T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

void ready_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = function_type;
    Py_TYPE(&t) = &PyType_Type;
    Py_REFCNT(&t) = 1;
    t.tp_name = "hdlcprotocol.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "Function or method of the hdlcprotocol module.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_members = function_members;
    t.tp_descr_get = function_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    check(PyType_Ready(&t));
}

Ref make_function(const FunctionSpec& spec, Handle globals, Handle module_name) {
    Ref name = string(spec.name);
    Ref doc = spec.doc ? string(spec.doc) : none();
    Ref defaults;
    if (spec.last_defaults_to_true) defaults = Ref::steal(PyTuple_Pack(1, Py_True));

    FunctionObject* function = PyObject_GC_New(FunctionObject, &function_type);
    if (function == nullptr) throw PythonError();
    function->spec = &spec;
    function->parameter_count = count_parameters(spec);
    function->name = name.release();
    function->doc = doc.release();
    function->module = Ref::borrow(module_name.get()).release();
    function->defaults = defaults.release();
    function->globals = Ref::borrow(globals.get()).release();
    function->dict = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(function));
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

}  // namespace hdlc
