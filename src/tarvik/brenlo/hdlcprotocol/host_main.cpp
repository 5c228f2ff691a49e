// The demonstration host: an interpreter that initialises the module as its
// main module, which makes the module run its demonstration.  The companion
// package and pySerial are found on the usual module path (PYTHONPATH).
#include "python/python.h"

#include "module.h"

int main(int argc, char** argv) {
    hdlc::version::initialise_interpreter(argc, argv);

    hdlc::initialise_module("__main__");
    int status = 0;
    if (PyErr_Occurred()) {
        PyErr_Print();
        status = 1;
    }
    Py_Finalize();
    return status;
}
