// What a method of the module's function type is when it is taken from the
// class (HDLCProtocol.connect).
//
// The interpreter's own unbound method names only its own function types in
// the error of a call on the wrong object.  This one behaves as that
// unbound method does everywhere else (isinstance of types.MethodType,
// im_func, im_self, im_class, attribute delegation, repr, equality, hashing,
// binding, weak references) and, called on the wrong object, names the
// method: "unbound method connect() must be called with HDLCProtocol
// instance as first argument (got int instance instead)".  Taken from an
// instance, a method is the interpreter's own bound method.
#pragma once

#include "ref.h"

namespace hdlc {

// Python 3 has no unbound methods: there a function taken from its class is
// the function itself, and this type does not exist.

// Readies the type (on 2.7); called by ready_function_type.
void ready_unbound_method_type();

// What `function` is when taken from the class `cls` (NULL when it is taken
// from neither an instance nor a class): on 2.7 an unbound method of
// `cls`, on 3 the function itself.
Ref function_from_class(Handle function, PyObject* cls);

}  // namespace hdlc
