#include "version.h"

#include <cstring>

namespace hdlc::version {

#if TARVIK_PYTHON3

PyObject* create_module(const char* name, const char* doc) {
    if (std::strcmp(name, "__main__") == 0) {
        PyObject* module = PyImport_AddModule(name);
        if (module == nullptr) return nullptr;
        PyObject* text = PyUnicode_FromString(doc);
        if (text == nullptr || PyModule_AddObject(module, "__doc__", text) < 0) {
            Py_XDECREF(text);
            return nullptr;
        }
        Py_INCREF(module);
        return module;
    }
    static PyModuleDef definition = {PyModuleDef_HEAD_INIT, nullptr, nullptr, -1, nullptr,
                                     nullptr,               nullptr, nullptr, nullptr};
    definition.m_name = name;
    definition.m_doc = doc;
    return PyModule_Create(&definition);
}

void initialise_interpreter(int argc, char** argv) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;  // the arguments are the program's, not the interpreter's
    PyStatus status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(status) && argc > 0) {
        status = PyConfig_SetBytesString(&config, &config.program_name, argv[0]);
    }
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
}

#else

PyObject* create_module(const char* name, const char* doc) {
    PyObject* module = Py_InitModule3(const_cast<char*>(name), nullptr, const_cast<char*>(doc));
    Py_XINCREF(module);
    return module;
}

void initialise_interpreter(int argc, char** argv) {
    Py_SetProgramName(argv[0]);
    Py_Initialize();
    PySys_SetArgvEx(argc, argv, 0);
}

#endif

}  // namespace hdlc::version
