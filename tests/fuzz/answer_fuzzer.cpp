// libFuzzer entry points for the decoding side of the module.
//
// The interpreter is embedded once; every input goes to
// support.answer_session.run, which plays one link session against it and
// raises only for an outcome that callers are not told to expect.  Such an
// exception, and any memory error or undefined behaviour that the
// sanitizers find in the module (built instrumented beside this harness),
// stops the fuzzer and keeps the input.
#include "python/ref.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

hdlc::Ref session_runner;

[[noreturn]] void stop_on_python_error() {
    PyErr_Print();
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Py_DontWriteBytecodeFlag = 1;
    Py_InitializeEx(0);  // libFuzzer keeps the signal handlers
    try {
        hdlc::Ref module = hdlc::Ref::steal(PyImport_ImportModule("support.answer_session"));
        session_runner = hdlc::Ref::steal(PyObject_GetAttrString(module.get(), "run"));
    } catch (const hdlc::PythonError&) {
        stop_on_python_error();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        hdlc::Ref input = hdlc::Ref::steal(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
        hdlc::Ref result = hdlc::Ref::steal(
            PyObject_CallFunctionObjArgs(session_runner.get(), input.get(), nullptr));
    } catch (const hdlc::PythonError&) {
        stop_on_python_error();
    }
    return 0;
}
