// The interpreter's headers, included first as the extension API requires.
// The build adds their folder as a system include directory, which keeps
// their pre-C++17 `register` declarations from warning in our code.
#pragma once

#include <Python.h>
#include <structmember.h>
