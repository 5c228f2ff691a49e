#include "function_type.h"

#include "api.h"
#include "unbound_method.h"

#include <new>
#include <string>

namespace hdlc {
namespace {

// doc, module and dict hold what Python code puts there (doc and module
// are NULL after a deletion); only they are cleared by the collector.  The
// other members live as long as the function, so a call never finds them
// NULL.
struct FunctionObject {
    PyObject_HEAD
    const FunctionSpec* spec;
    std::size_t parameter_count;
    PyObject* name;       // __name__
    PyObject* qualified_name;  // __qualname__ on 3: "<class>.<name>" for a method
    PyObject* doc;        // __doc__, NULL when deleted
    PyObject* module;     // __module__, NULL when deleted
    PyObject* defaults;   // __defaults__, NULL when there are none
    PyObject* globals;
    PyObject* code;       // __code__: the signature, for inspect and pydoc
    PyObject* parameter_names;  // the code's co_varnames: the parameters, self first
    PyObject* dict;       // instance attributes, created on demand
    PyObject* weak_references;  // on 3, where functions take weak references
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

// The parameter names, self first, as the code object lists them.
PyObject* parameter_name(const FunctionObject& function, std::size_t index) {
    return PyTuple_GET_ITEM(function.parameter_names, static_cast<Py_ssize_t>(index));
}

// The index of the parameter that `keyword` names, or the parameter count.
// Names match by equality, as in a Python function: a unicode keyword
// names the parameter of the same text, "bytes_\0x" does not name bytes_.
std::size_t parameter_index(const FunctionObject& function, PyObject* keyword) {
    std::size_t index = 0;
    while (index < function.parameter_count &&
           !check(PyObject_RichCompareBool(keyword, parameter_name(function, index), Py_EQ))) {
        ++index;
    }
    return index;
}

// The keyword as an error message shows it: a str as it is (up to an
// embedded NUL), a 2.7 unicode in the default encoding.
const char* keyword_text(PyObject* keyword, Ref& holder) {
    holder = Ref::steal(version::keyword_as_text(keyword));
    if (PyBytes_Check(holder.get())) return PyBytes_AS_STRING(holder.get());
    const char* text = version::text_characters(holder.get());
    if (text == nullptr) throw PythonError();
    return text;
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
        PyObject* next_key = nullptr;
        PyObject* next_value = nullptr;
        while (PyDict_Next(kwargs, &position, &next_key, &next_value)) {
            // Held: comparing a str subclass may run code that edits kwargs.
            Ref key = Ref::borrow(next_key);
            Ref value = Ref::borrow(next_value);
            if (!version::is_keyword_name(key.get())) {
                raise_error(PyExc_TypeError, "%s() keywords must be strings", spec.name);
            }
            const std::size_t index = parameter_index(function, key.get());
            Ref text;
            if (index == total) {
                raise_error(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", spec.name,
                            keyword_text(key.get(), text));
            }
            if (slots[index]) {
                raise_error(PyExc_TypeError, "%s() got multiple values for keyword argument '%s'", spec.name,
                            keyword_text(key.get(), text));
            }
            slots[index] = value;
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

// Functions bind like Python functions: an instance makes a bound method;
// the class makes what a function taken from its class is (unbound_method.h).
PyObject* function_get(PyObject* self, PyObject* object, PyObject* type) {
    if (object == Py_None) object = nullptr;
    if (object != nullptr) return version::bound_method(self, object, type);
    try {
        return function_from_class(self, type).release();
    } catch (const PythonError&) {
        return nullptr;
    }
}

PyObject* function_repr(PyObject* self) {
    try {
        return format_text("<function %s at %p>", as_function(self)->spec->name, static_cast<void*>(self)).release();
    } catch (const PythonError&) {
        return nullptr;
    }
}

// Tools that ask isinstance(f, types.FunctionType) before reading the
// signature from __code__ (inspect.getargspec, pydoc) see a function.
PyObject* function_class(PyObject*, void*) {
    PyObject* type = reinterpret_cast<PyObject*>(&PyFunction_Type);
    Py_INCREF(type);
    return type;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(function->name);
    Py_VISIT(function->qualified_name);
    Py_VISIT(function->doc);
    Py_VISIT(function->module);
    Py_VISIT(function->defaults);
    Py_VISIT(function->globals);
    Py_VISIT(function->code);
    Py_VISIT(function->parameter_names);
    Py_VISIT(function->dict);
    return 0;
}

// The collector breaks a cycle through a function at the members that
// Python code can set to any object.  What a call needs stays, so a
// function that the collector cleared but a weak-reference callback still
// reaches works as before, only without its doc string and attributes.
int function_clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->module);
    Py_CLEAR(function->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    FunctionObject* function = as_function(self);
    if (function->weak_references != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualified_name);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->code);
    Py_CLEAR(function->parameter_names);
    PyObject_GC_Del(self);
}

// The func_* names are the older spellings of the same members.
PyMemberDef function_members[] = {
    {const_cast<char*>("__name__"), T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {const_cast<char*>("func_name"), T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
#if TARVIK_PYTHON3
    {const_cast<char*>("__qualname__"), T_OBJECT, offsetof(FunctionObject, qualified_name), READONLY, nullptr},
#endif
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {const_cast<char*>("func_doc"), T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {const_cast<char*>("__defaults__"), T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {const_cast<char*>("func_defaults"), T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {const_cast<char*>("__globals__"), T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {const_cast<char*>("func_globals"), T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {const_cast<char*>("__code__"), T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {const_cast<char*>("func_code"), T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#if TARVIK_PYTHON3
// A Python 3 function also states its keyword-only defaults, which inspect
// reads beside __defaults__: there are none.
PyObject* function_keyword_defaults(PyObject*, void*) { Py_RETURN_NONE; }
#endif

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__class__"), function_class, nullptr, nullptr, nullptr},
#if TARVIK_PYTHON3
    {const_cast<char*>("__kwdefaults__"), function_keyword_defaults, nullptr, nullptr, nullptr},
#endif
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A code object that states the signature as a compiled function's would:
// the parameters as its arguments and locals, no variable arguments.  It is
// compiled from the line `def <name>(<parameters>): pass`, so that each
// interpreter makes it in its own format; its body only returns None, so
// running it (types.FunctionType(code, {})) does no harm.
Ref signature_code(const FunctionSpec& spec, std::size_t parameter_count, Handle module_name) {
    std::string source = std::string("def ") + spec.name + "(";
    for (std::size_t i = 0; i < parameter_count; ++i) {
        if (i > 0) source += ", ";
        source += spec.parameters[i];
    }
    source += "): pass\n";
    Ref module_text = Ref::steal(PyObject_Str(module_name.get()));
    const char* module_characters = version::text_characters(module_text.get());
    if (module_characters == nullptr) throw PythonError();
    const std::string filename = std::string("<") + module_characters + ">";

    static Id constants_name{"co_consts"};
    Ref module_code = Ref::steal(Py_CompileString(source.c_str(), filename.c_str(), Py_file_input));
    Ref constants = getattr(module_code, constants_name);
    for (Py_ssize_t i = 0; i < len(constants); ++i) {
        Ref constant = item(constants, i);
        if (PyCode_Check(constant.get())) return constant;
    }
    raise_error(PyExc_SystemError, "no code object compiled for %s()", spec.name);
}

}  // namespace

void ready_function_type() {
    ready_unbound_method_type();
    if (function_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = function_type;
    version::init_type_object(t);
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
    t.tp_getset = function_getset;
    t.tp_descr_get = function_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
#if TARVIK_PYTHON3
    // What the class gives on 3 is the function itself, which, like any
    // Python function, can be weakly referenced (on 2.7 the unbound method).
    t.tp_weaklistoffset = offsetof(FunctionObject, weak_references);
#endif
    check(PyType_Ready(&t));
}

Ref make_function(const FunctionSpec& spec, Handle globals, Handle module_name, const char* class_name) {
    Ref name = string(spec.name);
    Ref qualified_name = class_name ? format_text("%s.%s", class_name, spec.name) : name;
    Ref doc = spec.doc ? string(spec.doc) : none();
    Ref defaults;
    if (spec.last_defaults_to_true) defaults = Ref::steal(PyTuple_Pack(1, Py_True));
    const std::size_t parameter_count = count_parameters(spec);
    Ref code = signature_code(spec, parameter_count, module_name);
    static Id varnames_name{"co_varnames"};
    Ref parameter_names = getattr(code, varnames_name);

    FunctionObject* function = PyObject_GC_New(FunctionObject, &function_type);
    if (function == nullptr) throw PythonError();
    function->spec = &spec;
    function->parameter_count = parameter_count;
    function->name = name.release();
    function->qualified_name = qualified_name.release();
    function->doc = doc.release();
    function->module = Ref::borrow(module_name.get()).release();
    function->defaults = defaults.release();
    function->globals = Ref::borrow(globals.get()).release();
    function->code = code.release();
    function->parameter_names = parameter_names.release();
    function->dict = nullptr;
    function->weak_references = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(function));
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

}  // namespace hdlc
