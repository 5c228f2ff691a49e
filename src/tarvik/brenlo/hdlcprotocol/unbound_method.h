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

#include "python_ref.h"

namespace hdlc {

// Readies the type; called by ready_function_type.
void ready_unbound_method_type();

// `function` as an unbound method of `cls`.
Ref make_unbound_method(Handle function, Handle cls);

}  // namespace hdlc
