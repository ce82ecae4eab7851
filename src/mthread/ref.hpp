// Reference types and error helpers shared by every translation unit.
//
// Ownership is explicit: `Ref` owns one strong reference and is move-only;
// functions take borrowed `PyObject*` parameters. A failed C API call becomes
// a `PyError` C++ exception ("a Python error is set"); every C entry point
// catches it and returns the C API's error value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace mthread {

// Thrown when a Python exception is set and must propagate.
struct PyError final : std::exception {
    const char* what() const noexcept override { return "Python error set"; }
};

[[noreturn]] inline void throw_error() { throw PyError(); }

// Whether this thread holds the interpreter lock. PyGILState_Check cannot
// tell once a sub-interpreter has existed (it then answers yes everywhere).
inline bool holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;  // per thread from 3.12
#else
    PyThreadState* holder = _PyThreadState_UncheckedGet();  // the lock's holder
    return holder && holder->thread_id == PyThread_get_thread_ident();
#endif
}

// Debug builds check the interpreter lock on every reference operation: a
// count touched without it is a race that release builds would only show as
// rare corruption.
inline void assert_gil() {
#ifndef NDEBUG
    assert(holds_gil() && "reference count touched without the interpreter lock");
#endif
}

inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();  // public as Py_IsFinalizing only from 3.13
#endif
}

// True only in a daemon thread that the interpreter is ending at exit with a
// forced unwind: it no longer holds the lock, so references met on the way
// out are leaked rather than touched.
inline bool lock_lost_at_exit() noexcept { return interpreter_finalizing() && !holds_gil(); }

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            drop(old);
        }
        return *this;
    }
    ~Ref() { drop(p_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object (may be null).
    static Ref borrow(PyObject* p) noexcept {
        if (p) {
            assert_gil();
            Py_INCREF(p);
        }
        return Ref(p);
    }
    // Takes over the result of a C API call; null means a Python error is set.
    static Ref check(PyObject* p) {
        if (!p) throw_error();
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller: used once, at a C boundary.
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept {
        PyObject* old = p_;
        p_ = nullptr;
        drop(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}

    static void drop(PyObject* p) noexcept {
        if (!p) return;
        // At any other time a missing lock is a bug, checked in debug builds.
        if (lock_lost_at_exit()) return;
        assert_gil();
        Py_DECREF(p);
    }

    PyObject* p_ = nullptr;
};

// Throws PyError when a C API call returning an int reports failure (< 0).
inline int require(int rc) {
    if (rc < 0) throw_error();
    return rc;
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref str(std::string_view s) {
    return Ref::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Runs `body` and converts a C++ failure to the C API's error convention.
// A forced unwind (a daemon thread ended by the interpreter at exit) matches
// none of these clauses and passes through untouched.
template <class R, class F>
R guarded(R error_value, F&& body) {
    try {
        return body();
    } catch (const PyError&) {
        assert(PyErr_Occurred());
        return error_value;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return error_value;
    }
}

// Saves the current exception across code that needs none set, and restores it.
class ErrorStash {
public:
    ErrorStash() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;
    ~ErrorStash() {
        if (!restored_ && !lock_lost_at_exit()) {
            Py_XDECREF(type_);
            Py_XDECREF(value_);
            Py_XDECREF(tb_);
        }
    }
    bool empty() const noexcept { return type_ == nullptr; }
    void restore() noexcept {
        restored_ = true;
        PyErr_Restore(type_, value_, tb_);
    }
    // Discards any error raised meanwhile and puts the saved one back.
    void restore_over() noexcept {
        PyErr_Clear();
        restore();
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
    bool restored_ = false;
};

}  // namespace mthread
