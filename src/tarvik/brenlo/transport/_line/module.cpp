// tarvik.brenlo.transport._line: the type Channel, a line's share of the
// process's event loop (reactor.h), for the Python lines in fast_line.py
// and tcp_line.py. Every wait runs with the interpreter lock released.
#include "../../hdlcprotocol/python/ref.h"
#include "../../hdlcprotocol/python/version.h"

#include <pythread.h>

#include <cerrno>
#include <cmath>
#include <string>

#include "reactor.h"

namespace {

using tarvik::line::Clock;
using tarvik::line::Deadline;
using tarvik::line::Link;
using tarvik::line::Outcome;

// The thread that imported the module: the interpreter's main thread.
unsigned long main_thread_id = 0;
constexpr auto signal_slice = std::chrono::milliseconds(200);

struct Channel {
    PyObject_HEAD
    std::shared_ptr<Link>* link;  // null once closed
};

// The interpreter lock released for the life of the object.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

// Seconds as a duration; false (with ValueError set) for a negative or
// non-finite number.
bool to_duration(double seconds, Clock::duration& out) {
    if (!(seconds >= 0) || !std::isfinite(seconds)) {
        PyErr_SetString(PyExc_ValueError, "seconds must be a finite number >= 0");
        return false;
    }
    out = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return true;
}

// The deadline of a time-out in seconds, None for none.
bool to_deadline(PyObject* timeout, Deadline& deadline) {
    if (timeout == Py_None) return true;
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) return false;
    Clock::duration wait;
    if (!to_duration(seconds, wait)) return false;
    deadline = Clock::now() + wait;
    return true;
}

Link* open_link(Channel* self) {
    if (self->link == nullptr) {
        errno = EBADF;
        PyErr_SetFromErrno(PyExc_OSError);
        return nullptr;
    }
    return self->link->get();
}

int channel_init(Channel* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fd", "byte_time", "empty_read_ends", nullptr};
    int fd = -1;
    double byte_time = 0;
    PyObject* empty_read_ends = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i|dO:Channel", const_cast<char**>(keywords), &fd, &byte_time,
                                     &empty_read_ends))
        return -1;
    const int ends = PyObject_IsTrue(empty_read_ends);
    if (ends < 0) return -1;
    Clock::duration per_byte;
    if (!to_duration(byte_time, per_byte)) return -1;
    if (self->link != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Channel is already open");
        return -1;
    }
    try {
        self->link = new std::shared_ptr<Link>(tarvik::line::open_link(fd, per_byte, ends != 0));
    } catch (const std::system_error& e) {
        errno = e.code().value();
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    return 0;
}

void close_link(Channel* self) {
    if (self->link == nullptr) return;
    (*self->link)->detach();
    delete self->link;
    self->link = nullptr;
}

void channel_dealloc(Channel* self) {
    close_link(self);
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* channel_read(Channel* self, PyObject* args) {
    Py_ssize_t size = 0;
    PyObject* timeout = Py_None;
    if (!PyArg_ParseTuple(args, "n|O:read", &size, &timeout)) return nullptr;
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "size must be >= 0");
        return nullptr;
    }
    Deadline deadline;
    if (!to_deadline(timeout, deadline)) return nullptr;
    Link* link = open_link(self);
    if (link == nullptr) return nullptr;
    std::shared_ptr<Link> keep = *self->link;  // a close from another thread leaves it valid
    std::string data;
    // A frame read ahead is handed out without letting go of the
    // interpreter lock: each hand-over of the lock costs a thread wake-up.
    if (link->read_ready(static_cast<std::size_t>(size), data))
        return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
    // Only the main thread runs signal handlers: there the wait is cut into
    // slices, so that Ctrl-C and alarms stop it as they stop time.sleep().
    const bool main_thread = static_cast<unsigned long>(PyThread_get_thread_ident()) == main_thread_id;
    int error = 0;
    Outcome outcome;
    for (;;) {
        Deadline slice = deadline;
        if (main_thread && (!deadline || *deadline - Clock::now() > signal_slice)) slice = Clock::now() + signal_slice;
        std::string chunk;
        {
            Unlocked unlocked;
            outcome = link->read(static_cast<std::size_t>(size) - data.size(), slice, chunk, error);
        }
        link->running();
        data += chunk;
        if (outcome != Outcome::TimedOut || slice == deadline || data.size() == static_cast<std::size_t>(size) ||
            Clock::now() < *slice)
            break;  // done, or ended early (the peer closed): not a slice that ran out
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
    if ((outcome == Outcome::Closed || outcome == Outcome::Failed) && !data.empty()) outcome = Outcome::TimedOut;
    if (outcome == Outcome::Closed) {
        PyErr_SetString(PyExc_EOFError, "the peer closed the line");
        return nullptr;
    }
    if (outcome == Outcome::Failed) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* channel_write(Channel* self, PyObject* args) {
    Py_buffer view;
    PyObject* timeout = Py_None;
    if (!PyArg_ParseTuple(args, "s*|O:write", &view, &timeout)) return nullptr;
    Deadline deadline;
    Link* link = open_link(self);
    if (link == nullptr || !to_deadline(timeout, deadline)) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    std::shared_ptr<Link> keep = *self->link;
    std::size_t written = 0;
    int error = 0;
    const char* data = static_cast<const char*>(view.buf);
    const auto size = static_cast<std::size_t>(view.len);
    // What the line takes at once is written with the lock held; only a
    // wait for room lets go of it.
    Outcome outcome = link->write_now(data, size, written, error);
    if (outcome == Outcome::TimedOut && !(deadline && *deadline <= Clock::now())) {
        Unlocked unlocked;
        outcome = link->write(data, size, deadline, written, error);
    }
    PyBuffer_Release(&view);
    if (outcome == Outcome::Failed) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(written),
                         outcome == Outcome::TimedOut ? Py_True : Py_False);
}

PyObject* channel_cancel_read(Channel* self, PyObject*) {
    if (Link* link = open_link(self)) {
        link->cancel_read();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* channel_cancel_write(Channel* self, PyObject*) {
    if (Link* link = open_link(self)) {
        link->cancel_write();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* channel_buffered(Channel* self, PyObject*) {
    if (Link* link = open_link(self)) return PyLong_FromSize_t(link->buffered());
    return nullptr;
}

PyObject* channel_discard(Channel* self, PyObject*) {
    if (Link* link = open_link(self)) {
        link->discard();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* channel_set_byte_time(Channel* self, PyObject* args) {
    double seconds = 0;
    if (!PyArg_ParseTuple(args, "d:set_byte_time", &seconds)) return nullptr;
    Clock::duration per_byte;
    if (!to_duration(seconds, per_byte)) return nullptr;
    if (Link* link = open_link(self)) {
        link->set_byte_time(per_byte);
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* channel_close(Channel* self, PyObject*) {
    close_link(self);
    Py_RETURN_NONE;
}

PyMethodDef channel_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(channel_read), METH_VARARGS,
     "read(size, timeout=None) -> bytes\n\n"
     "Up to size bytes: fewer when the time-out (seconds, None for none) expired, cancel_read()\n"
     "was called or the peer closed the line after sending them. When the unread bytes begin\n"
     "with an HDLC frame header, waits for the whole frame (or the time-out) before returning.\n"
     "In the main thread, signal handlers run while it waits.\n"
     "Raises EOFError when the peer closed the line and nothing is left, OSError when the\n"
     "system refuses."},
    {"write", reinterpret_cast<PyCFunction>(channel_write), METH_VARARGS,
     "write(data, timeout=None) -> (written, timed_out)\n\n"
     "Writes data, waiting for room until the time-out; stops early on cancel_write()."},
    {"cancel_read", reinterpret_cast<PyCFunction>(channel_cancel_read), METH_NOARGS,
     "Ends the read in progress, or else the next one, with what it has."},
    {"cancel_write", reinterpret_cast<PyCFunction>(channel_cancel_write), METH_NOARGS,
     "Ends the write waiting for room, or else the next one that waits."},
    {"buffered", reinterpret_cast<PyCFunction>(channel_buffered), METH_NOARGS,
     "The number of bytes read ahead and not yet returned."},
    {"discard", reinterpret_cast<PyCFunction>(channel_discard), METH_NOARGS,
     "Drops the bytes read ahead."},
    {"set_byte_time", reinterpret_cast<PyCFunction>(channel_set_byte_time), METH_VARARGS,
     "set_byte_time(seconds): the line time of one byte (0: wake on every chunk)."},
    {"close", reinterpret_cast<PyCFunction>(channel_close), METH_NOARGS,
     "Leaves the event loop; the caller closes the descriptor afterwards."},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject channel_type;

void ready_type() {
    hdlc::version::init_type_object(channel_type);
    channel_type.tp_name = "tarvik.brenlo.transport._line.Channel";
    channel_type.tp_basicsize = sizeof(Channel);
    channel_type.tp_flags = Py_TPFLAGS_DEFAULT;
    channel_type.tp_doc =
        "Channel(fd, byte_time=0.0, empty_read_ends=False)\n\n"
        "A descriptor served by the process's event loop, for a line's reads and writes.\n"
        "byte_time is the line time of one byte: once bytes arrive, the loop sleeps the\n"
        "time of those still missing instead of waking for each chunk. empty_read_ends: a read\n"
        "of no bytes means the other end closed (a socket), not that nothing is there (a tty).";
    channel_type.tp_init = reinterpret_cast<initproc>(channel_init);
    channel_type.tp_new = PyType_GenericNew;
    channel_type.tp_dealloc = reinterpret_cast<destructor>(channel_dealloc);
    channel_type.tp_methods = channel_methods;
    hdlc::check(PyType_Ready(&channel_type));
}

const char module_doc[] = "The event loop behind the fast lines of tarvik.brenlo.transport.";

}  // namespace

TARVIK_MODULE_INITIALISER(_line) {
    try {
        main_thread_id = static_cast<unsigned long>(PyThread_get_thread_ident());
        ready_type();
        hdlc::Ref module = hdlc::Ref::steal(hdlc::version::create_module("_line", module_doc));
        PyObject* type = reinterpret_cast<PyObject*>(&channel_type);
        Py_INCREF(type);
        if (PyModule_AddObject(module.get(), "Channel", type) < 0) {
            Py_DECREF(type);
            throw hdlc::PythonError();
        }
        return module.release();
    } catch (const hdlc::PythonError&) {
        return nullptr;
    }
}
