#include "unbound_method.h"

#include "api.h"

#include <new>

namespace hdlc {

#if TARVIK_PYTHON3

void ready_unbound_method_type() {}

Ref function_from_class(Handle function, PyObject*) { return Ref::borrow(function.get()); }

#else

namespace {

struct UnboundMethodObject {
    PyObject_HEAD
    PyObject* function;  // im_func, __func__
    PyObject* cls;       // im_class
    PyObject* weak_references;
};

PyTypeObject unbound_method_type;

UnboundMethodObject* as_method(PyObject* self) { return reinterpret_cast<UnboundMethodObject*>(self); }

Id name_attribute{"__name__"};
Id doc_attribute{"__doc__"};
Id class_attribute{"__class__"};

// obj.__name__ when it is a str, else "?"; never fails.
Ref name_or_question_mark(PyObject* object) {
    PyObject* name = PyObject_GetAttr(object, name_attribute.get());
    if (name != nullptr && PyString_Check(name)) return Ref::steal(name);
    Py_XDECREF(name);
    PyErr_Clear();
    return string("?");
}

// The class of the object as the error names it: its __class__, else its type.
Ref class_of(PyObject* object) {
    PyObject* cls = PyObject_GetAttr(object, class_attribute.get());
    if (cls != nullptr) return Ref::steal(cls);
    PyErr_Clear();
    return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

// An unbound method accepts only an instance of its class, or a subclass,
// as its first argument.
void check_first_argument(const UnboundMethodObject& method, PyObject* args) {
    PyObject* first = PyTuple_GET_SIZE(args) >= 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (first != nullptr && check(PyObject_IsInstance(first, method.cls))) return;
    raise_error(PyExc_TypeError,
                "unbound method %s() must be called with %.255s instance as first argument (got %.255s%s instead)",
                PyString_AS_STRING(name_or_question_mark(method.function).get()),
                PyString_AS_STRING(name_or_question_mark(method.cls).get()),
                first ? PyString_AS_STRING(name_or_question_mark(class_of(first).get()).get()) : "nothing",
                first ? " instance" : "");
}

PyObject* unbound_method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        check_first_argument(*as_method(self), args);
    } catch (const PythonError&) {
        return nullptr;
    }
    return PyObject_Call(as_method(self)->function, args, kwargs);
}

// Bound to an instance of its class (or of a subclass) it binds as the
// function does; taken through an unrelated class it stays as it is.
PyObject* unbound_method_get(PyObject* self, PyObject* object, PyObject* type) {
    UnboundMethodObject& method = *as_method(self);
    if (type != nullptr) {
        const int related = PyObject_IsSubclass(type, method.cls);
        if (related < 0) return nullptr;
        if (!related) {
            Py_INCREF(self);
            return self;
        }
    }
    return Py_TYPE(method.function)->tp_descr_get(method.function, object, type);
}

// Attributes of the method itself first, then those of its function.
PyObject* unbound_method_getattro(PyObject* self, PyObject* name) {
    if (PyObject* descriptor = _PyType_Lookup(Py_TYPE(self), name)) {
        Ref held = Ref::borrow(descriptor);
        descrgetfunc get = PyType_HasFeature(Py_TYPE(descriptor), Py_TPFLAGS_HAVE_CLASS)
                               ? Py_TYPE(descriptor)->tp_descr_get
                               : nullptr;
        if (get == nullptr) return held.release();
        return get(descriptor, self, reinterpret_cast<PyObject*>(Py_TYPE(self)));
    }
    return PyObject_GetAttr(as_method(self)->function, name);
}

PyObject* unbound_method_repr(PyObject* self) {
    try {
        return PyString_FromFormat("<unbound method %s.%s>",
                                   PyString_AS_STRING(name_or_question_mark(as_method(self)->cls).get()),
                                   PyString_AS_STRING(name_or_question_mark(as_method(self)->function).get()));
    } catch (const PythonError&) {
        return nullptr;
    }
}

// The function and the instance of a method of either kind; false for
// anything else.
bool method_parts(PyObject* object, PyObject** function, PyObject** instance) {
    if (Py_TYPE(object) == &unbound_method_type) {
        *function = as_method(object)->function;
        *instance = nullptr;
        return true;
    }
    if (PyMethod_Check(object)) {
        *function = PyMethod_GET_FUNCTION(object);
        *instance = PyMethod_GET_SELF(object);
        return true;
    }
    return false;
}

// Equal to a method of the same function and instance, as methods are.
PyObject* unbound_method_richcompare(PyObject* a, PyObject* b, int op) {
    PyObject *a_function, *a_instance, *b_function, *b_instance;
    if ((op != Py_EQ && op != Py_NE) || !method_parts(a, &a_function, &a_instance) ||
        !method_parts(b, &b_function, &b_instance)) {
        Py_INCREF(Py_NotImplemented);
        return Py_NotImplemented;
    }
    int equal = PyObject_RichCompareBool(a_function, b_function, Py_EQ);
    if (equal < 0) return nullptr;
    if (equal) {
        if (a_instance == nullptr || b_instance == nullptr) {
            equal = a_instance == b_instance;
        } else {
            equal = PyObject_RichCompareBool(a_instance, b_instance, Py_EQ);
            if (equal < 0) return nullptr;
        }
    }
    PyObject* result = (equal != 0) == (op == Py_EQ) ? Py_True : Py_False;
    Py_INCREF(result);
    return result;
}

// Hashes as a method without an instance does, so equal methods hash alike.
long unbound_method_hash(PyObject* self) {
    const long none_hash = PyObject_Hash(Py_None);
    const long function_hash = PyObject_Hash(as_method(self)->function);
    if (none_hash == -1 || function_hash == -1) return -1;
    const long hash = none_hash ^ function_hash;
    return hash == -1 ? -2 : hash;
}

int unbound_method_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_method(self)->function);
    Py_VISIT(as_method(self)->cls);
    return 0;
}

void unbound_method_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weak_references != nullptr) PyObject_ClearWeakRefs(self);
    Py_CLEAR(as_method(self)->function);
    Py_CLEAR(as_method(self)->cls);
    PyObject_GC_Del(self);
}

PyObject* unbound_method_doc(PyObject* self, void*) {
    return PyObject_GetAttr(as_method(self)->function, doc_attribute.get());
}

PyObject* unbound_method_self(PyObject*, void*) {
    Py_INCREF(Py_None);
    return Py_None;
}

// isinstance(HDLCProtocol.connect, types.MethodType) holds, as it does for
// any unbound method.
PyObject* unbound_method_class(PyObject*, void*) {
    PyObject* type = reinterpret_cast<PyObject*>(&PyMethod_Type);
    Py_INCREF(type);
    return type;
}

PyMemberDef unbound_method_members[] = {
    {const_cast<char*>("im_func"), T_OBJECT, offsetof(UnboundMethodObject, function), READONLY, nullptr},
    {const_cast<char*>("__func__"), T_OBJECT, offsetof(UnboundMethodObject, function), READONLY, nullptr},
    {const_cast<char*>("im_class"), T_OBJECT, offsetof(UnboundMethodObject, cls), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef unbound_method_getset[] = {
    {const_cast<char*>("__doc__"), unbound_method_doc, nullptr, nullptr, nullptr},
    {const_cast<char*>("im_self"), unbound_method_self, nullptr, nullptr, nullptr},
    {const_cast<char*>("__self__"), unbound_method_self, nullptr, nullptr, nullptr},
    {const_cast<char*>("__class__"), unbound_method_class, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

void ready_unbound_method_type() {
    if (unbound_method_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = unbound_method_type;
    version::init_type_object(t);
    t.tp_name = "hdlcprotocol.unbound_method";
    t.tp_basicsize = sizeof(UnboundMethodObject);
    t.tp_dealloc = unbound_method_dealloc;
    t.tp_repr = unbound_method_repr;
    t.tp_hash = unbound_method_hash;
    t.tp_call = unbound_method_call;
    t.tp_getattro = unbound_method_getattro;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "Method of the hdlcprotocol module, taken from its class.";
    t.tp_traverse = unbound_method_traverse;
    t.tp_richcompare = unbound_method_richcompare;
    t.tp_weaklistoffset = offsetof(UnboundMethodObject, weak_references);
    t.tp_members = unbound_method_members;
    t.tp_getset = unbound_method_getset;
    t.tp_descr_get = unbound_method_get;
    check(PyType_Ready(&t));
}

Ref function_from_class(Handle function, PyObject* cls) {
    // Taken from nothing, as `f.__get__(None)` asks: a method without a class.
    if (cls == nullptr) return Ref::steal(PyMethod_New(function.get(), nullptr, nullptr));
    UnboundMethodObject* method = PyObject_GC_New(UnboundMethodObject, &unbound_method_type);
    if (method == nullptr) throw PythonError();
    method->function = Ref::borrow(function.get()).release();
    method->cls = Ref::borrow(cls).release();
    method->weak_references = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(method));
    return Ref::steal(reinterpret_cast<PyObject*>(method));
}

#endif

}  // namespace hdlc
