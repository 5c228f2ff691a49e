// The Python-visible function type of the module.
//
// Every method of HDLCProtocol, and every trace function of the
// demonstration, is an instance of this type.  It behaves like a function
// written in Python: it binds to instances as a method and, taken from its
// class, is an unbound method on 2.7 (unbound_method.h) and itself on 3;
// it carries __name__, __doc__, __module__, __defaults__, __globals__ and a
// __code__ that states its signature, with their func_* spellings (on 3
// also __qualname__ and __kwdefaults__, and it takes weak references),
// passes isinstance(f, types.FunctionType) so that inspect and pydoc read
// that signature, takes its parameters by position or by keyword (str, or
// on 2.7 unicode), and reports wrong calls with Python 2's TypeError texts
// on either interpreter.  The body is a C++ function that receives every
// parameter already resolved.
#pragma once

#include "ref.h"

#include <cstddef>

namespace hdlc {

// What a body sees of one call.
struct Call {
    PyObject* const* arguments;  // one borrowed reference per parameter, self first
    PyObject* globals;           // the defining module's dictionary
    void* data;                  // the FunctionSpec's data, for shared bodies

    PyObject* operator[](std::size_t index) const { return arguments[index]; }
};

// A body returns the call's result or throws PythonError.
using Body = Ref (*)(const Call& call);

enum class Keywords { accepted, refused };

constexpr std::size_t max_parameters = 3;

// Static description of one function.
struct FunctionSpec {
    const char* name;
    const char* doc;                            // nullptr: no documentation string
    const char* parameters[max_parameters];     // self first; unused slots are nullptr
    bool last_defaults_to_true;                 // the only default the module uses
    Body body;
    void* data = nullptr;
    Keywords keywords = Keywords::accepted;
};

// Readies the type and that of its unbound methods; called once from the
// module initialiser.
void ready_function_type();

// A new function object for `spec`.  `spec` must outlive it (specs are
// static); `module_name` becomes __module__.  `class_name` names the class
// the function is a method of, for the qualified name (__qualname__) that
// Python 3's functions carry; nullptr for a module-level function.
Ref make_function(const FunctionSpec& spec, Handle globals, Handle module_name, const char* class_name = nullptr);

}  // namespace hdlc
