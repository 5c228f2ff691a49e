// Ownership of interpreter objects.
//
// `Ref` owns one strong reference and drops it when it goes out of scope, so
// no path through the module can leak.  `Handle` is a non-owning view that
// accepts either a raw `PyObject*` or a `Ref`, so helpers can take both.
// A Python API call that fails throws `PythonError`; the interpreter's error
// indicator is already set at that point, and every entry point turns the
// exception back into a NULL return.
#pragma once

#include "python.h"
#include "version.h"

#include <exception>
#include <utility>

namespace hdlc {

// The Python error indicator is set; unwind to the entry point.
struct PythonError : std::exception {
    const char* what() const noexcept override { return "Python error set"; }
};

// Owner of one strong reference (or of nothing).
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    ~Ref() { Py_XDECREF(object_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    // Takes over a new reference returned by the API; NULL means failure.
    static Ref steal(PyObject* object) {
        if (object == nullptr) throw PythonError();
        return Ref(object);
    }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A borrowed view, valid while its source is.
class Handle {
public:
    Handle(PyObject* object) noexcept : object_(object) {}  // NOLINT: implicit by design
    Handle(const Ref& ref) noexcept : object_(ref.get()) {}  // NOLINT: implicit by design
    PyObject* get() const noexcept { return object_; }

private:
    PyObject* object_;
};

// Fails the current operation if `status` reports an API failure (-1).
inline int check(int status) {
    if (status < 0) throw PythonError();
    return status;
}

// An identifier interned once and kept for the life of the process, in the
// spirit of CPython's own static identifiers.
class Id {
public:
    constexpr explicit Id(const char* text) noexcept : text_(text) {}
    PyObject* get() {
        if (object_ == nullptr) {
            object_ = version::interned_text(text_);
            if (object_ == nullptr) throw PythonError();
        }
        return object_;
    }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    PyObject* object_ = nullptr;
};

}  // namespace hdlc
