// Record conditions: the generic path (the condition's own Python methods)
// and the native path for an unmodified threading.Condition over a C RLock.
//
// Why a native path: every command is two cross-thread hand-offs, and with
// Condition's Python code each hand-off also interprets __enter__, notify,
// wait and __exit__. The native path does exactly what those methods do, in
// the same order and on the same objects (the RLock, the waiter deque, one
// fresh waiter lock per wait), calling the C methods of those objects
// directly. Another Python thread using the same condition through its
// Python methods sees the same lock and waiter-list states either way.
#include "mthread.hpp"

namespace mthread {
namespace {

Ref call_descr(PyObject* descr, PyObject* self) {
    return Ref::check(PyObject_Vectorcall(descr, &self, 1, nullptr));
}
Ref call_descr(PyObject* descr, PyObject* self, PyObject* arg) {
    PyObject* argv[] = {self, arg};
    return Ref::check(PyObject_Vectorcall(descr, argv, 2, nullptr));
}

// The member `name` of `type`'s own dict; new reference. Throws when absent.
Ref type_member(PyObject* type, const char* name) {
    PyObject* v = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(type)->tp_dict, name);
    if (!v) {
        PyErr_Format(PyExc_AttributeError, "%s", name);
        throw_error();
    }
    return Ref::borrow(v);
}

void capture(ModuleState* st) {
    Native& n = st->native;
    Ref threading = Ref::check(PyImport_ImportModule("threading"));
    Ref thread_mod = Ref::check(PyImport_ImportModule("_thread"));
    Ref collections = Ref::check(PyImport_ImportModule("collections"));

    Ref cond_type = Ref::check(PyObject_GetAttrString(threading.get(), "Condition"));
    Ref rlock_type = Ref::check(PyObject_GetAttrString(thread_mod.get(), "RLock"));
    Ref deque_type = Ref::check(PyObject_GetAttrString(collections.get(), "deque"));
    Ref allocate = Ref::check(PyObject_GetAttrString(thread_mod.get(), "allocate_lock"));
    if (!PyType_Check(cond_type.get()) || !PyType_Check(rlock_type.get()) || !PyType_Check(deque_type.get())) {
        PyErr_SetString(PyExc_TypeError, "unexpected threading objects");
        throw_error();
    }
    Ref sample = call0(allocate.get());
    PyObject* lock_type = reinterpret_cast<PyObject*>(Py_TYPE(sample.get()));

    n.cond_enter = type_member(cond_type.get(), "__enter__").release();
    n.cond_exit = type_member(cond_type.get(), "__exit__").release();
    n.cond_wait = type_member(cond_type.get(), "wait").release();
    n.cond_notify = type_member(cond_type.get(), "notify").release();
    n.rlock_acquire = type_member(rlock_type.get(), "acquire").release();
    n.rlock_release = type_member(rlock_type.get(), "release").release();
    n.rlock_is_owned = type_member(rlock_type.get(), "_is_owned").release();
    n.rlock_release_save = type_member(rlock_type.get(), "_release_save").release();
    n.rlock_acquire_restore = type_member(rlock_type.get(), "_acquire_restore").release();
    n.lock_acquire = type_member(lock_type, "acquire").release();
    n.lock_release = type_member(lock_type, "release").release();
    n.deque_append = type_member(deque_type.get(), "append").release();
    n.deque_remove = type_member(deque_type.get(), "remove").release();
    n.threading_globals = Py_NewRef(PyModule_GetDict(threading.get()));
    n.allocate_lock = allocate.release();
    n.s_lock = PyUnicode_InternFromString("_lock");
    n.s_waiters = PyUnicode_InternFromString("_waiters");
    n.s_allocate_lock = PyUnicode_InternFromString("_allocate_lock");
    n.s_is_owned = PyUnicode_InternFromString("_is_owned");
    n.s_release_save = PyUnicode_InternFromString("_release_save");
    n.s_acquire_restore = PyUnicode_InternFromString("_acquire_restore");
    if (!n.s_lock || !n.s_waiters || !n.s_allocate_lock || !n.s_is_owned || !n.s_release_save ||
        !n.s_acquire_restore)
        throw_error();
    // Set last: a non-null cond_type means everything above is in place.
    n.rlock_type = rlock_type.release();
    n.deque_type = deque_type.release();
    n.cond_type = cond_type.release();
}

// Whether `method` is `descr` bound to `self` (as `self.name` gives it).
bool bound_to(PyObject* method, PyObject* self, PyObject* descr) {
    if (!method || !PyCFunction_Check(method) || PyCFunction_GET_SELF(method) != self) return false;
    return reinterpret_cast<PyCFunctionObject*>(method)->m_ml ==
           reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
}

}  // namespace

void init_native(ModuleState* st) {
    try {
        capture(st);
    } catch (const PyError&) {
        // An unusual standard library only costs speed: every condition then
        // takes the generic path.
        PyErr_Clear();
        clear_native(st->native);
    }
}

void visit_native(Native& n, visitproc visit, void* arg, int& rc) {
#define MTHREAD_VISIT(name) \
    if (!rc && n.name) rc = visit(n.name, arg);
    MTHREAD_NATIVE(MTHREAD_VISIT)
#undef MTHREAD_VISIT
}

void clear_native(Native& n) {
#define MTHREAD_CLEAR(name) Py_CLEAR(n.name);
    MTHREAD_NATIVE(MTHREAD_CLEAR)
#undef MTHREAD_CLEAR
}

CondView::CondView(ModuleState* st, PyObject* cond) : st_(st), cond_(cond) {
    const Native& n = st->native;
    if (!n.cond_type || Py_TYPE(cond) != reinterpret_cast<PyTypeObject*>(n.cond_type)) return;
    // The class's methods must be the standard ones, not patched...
    PyObject* tdict = reinterpret_cast<PyTypeObject*>(n.cond_type)->tp_dict;
    const Strings& s = st->s;
    if (dict_find(tdict, s.__enter__) != n.cond_enter || dict_find(tdict, s.__exit__) != n.cond_exit ||
        dict_find(tdict, s.wait) != n.cond_wait || dict_find(tdict, s.notify) != n.cond_notify)
        return;
    // ...nor shadowed on the instance...
    Ref idict = Ref::steal(PyObject_GenericGetDict(cond, nullptr));
    if (!idict) throw_error();
    if (!PyDict_Check(idict.get())) return;
    if (dict_find(idict.get(), s.__enter__) || dict_find(idict.get(), s.__exit__) ||
        dict_find(idict.get(), s.wait) || dict_find(idict.get(), s.notify))
        return;
    // ...and its lock and waiter list the standard C objects.
    PyObject* lock = dict_find(idict.get(), n.s_lock);
    PyObject* waiters = dict_find(idict.get(), n.s_waiters);
    if (!lock || Py_TYPE(lock) != reinterpret_cast<PyTypeObject*>(n.rlock_type)) return;
    if (!waiters || Py_TYPE(waiters) != reinterpret_cast<PyTypeObject*>(n.deque_type)) return;
    if (dict_find(n.threading_globals, n.s_allocate_lock) != n.allocate_lock) return;
    // wait() and notify() reach the lock through these instance attributes,
    // which __init__ binds to the lock's own methods.
    if (!bound_to(dict_find(idict.get(), n.s_is_owned), lock, n.rlock_is_owned) ||
        !bound_to(dict_find(idict.get(), n.s_release_save), lock, n.rlock_release_save) ||
        !bound_to(dict_find(idict.get(), n.s_acquire_restore), lock, n.rlock_acquire_restore))
        return;
    rlock_ = Ref::borrow(lock);
    waiters_ = Ref::borrow(waiters);
}

void CondView::enter() {
    if (native()) {
        call_descr(st_->native.rlock_acquire, rlock_.get());  // RLock.__enter__ is acquire()
        return;
    }
    call_method(cond_, st_->s.__enter__);
}

bool CondView::exit(bool with_error) {
    if (native()) {
        // RLock.__exit__ is release() and never swallows an exception; an
        // error from release() itself replaces the pending one, as in a with.
        if (!with_error) {
            call_descr(st_->native.rlock_release, rlock_.get());
            return false;
        }
        ErrorStash stash;
        call_descr(st_->native.rlock_release, rlock_.get());
        stash.restore();
        return false;
    }
    return exit_context(cond_, st_->s, with_error);
}

bool exit_context(PyObject* mgr, const Strings& s, bool with_error) {
    if (!with_error) {
        call_method(mgr, s.__exit__, Py_None, Py_None, Py_None);
        return false;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    Ref swallow = call_method(mgr, s.__exit__, t.get(), v.get(), b ? b.get() : Py_None);
    if (require(PyObject_IsTrue(swallow.get()))) return true;
    PyErr_Restore(t.release(), v.release(), b.release());
    return false;
}

// Calls `waiter.release()`; the C method directly for a plain lock.
static PyObject* release_waiter(const Native& n, PyObject* waiter) {
    if (Py_TYPE(waiter) == PyDescr_TYPE(n.lock_release))
        return PyObject_Vectorcall(n.lock_release, &waiter, 1, nullptr);
    return PyObject_CallMethod(waiter, "release", nullptr);
}

// `waiters.remove(waiter)`, ignoring a waiter that is no longer there.
static void remove_waiter(const Native& n, PyObject* waiters, PyObject* waiter) {
    PyObject* argv[] = {waiters, waiter};
    Ref removed = Ref::steal(PyObject_Vectorcall(n.deque_remove, argv, 2, nullptr));
    if (removed) return;
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
    PyErr_Clear();
}

// Condition's own guard: RuntimeError unless this thread holds the lock.
void CondView::require_owned(const char* message) {
    Ref owned = call_descr(st_->native.rlock_is_owned, rlock_.get());
    if (require(PyObject_IsTrue(owned.get()))) return;
    PyErr_SetString(PyExc_RuntimeError, message);
    throw_error();
}

void CondView::notify() {
    if (!native()) {
        call_method(cond_, st_->s.notify);
        return;
    }
    const Native& n = st_->native;
    require_owned("cannot notify on un-acquired lock");
    // Condition.notify(1): release the first waiter still waiting; a waiter
    // that an interrupted notify already released is only dropped.
    Py_ssize_t left = 1;
    while (left > 0) {
        Py_ssize_t size = PyObject_Length(waiters_.get());
        if (size < 0) throw_error();
        if (size == 0) break;
        Ref waiter = Ref::check(PySequence_GetItem(waiters_.get(), 0));
        Ref released = Ref::steal(release_waiter(n, waiter.get()));
        if (released) {
            owe_hint(hint_for(waiter.get()));
            --left;
        } else if (PyErr_ExceptionMatches(PyExc_RuntimeError)) {
            PyErr_Clear();
        } else {
            throw_error();
        }
        remove_waiter(n, waiters_.get(), waiter.get());
    }
}

void CondView::notify_all() {
    if (!native()) {
        call_method(cond_, st_->s.notify_all);
        return;
    }
    // As Condition.notify_all: notify(len(waiters)); each notify() drops
    // the waiter it released, or one an interrupted notify left behind.
    for (;;) {
        Py_ssize_t size = PyObject_Length(waiters_.get());
        if (size < 0) throw_error();
        if (size == 0) return;
        notify();
    }
}

void CondView::wait() {
    if (!native()) {
        call_method(cond_, st_->s.wait);
        return;
    }
    const Native& n = st_->native;
    require_owned("cannot wait on un-acquired lock");
    Ref waiter = call0(n.allocate_lock);
    call_descr(n.lock_acquire, waiter.get());
    call_descr(n.deque_append, waiters_.get(), waiter.get());
    std::atomic<std::uint32_t>& hint = hint_for(waiter.get());
    const std::uint32_t seen = hint.load(std::memory_order_acquire);
    Ref saved = call_descr(n.rlock_release_save, rlock_.get());
    spin_for_hint(hint, seen);
    // Blocks with the interpreter lock released; a signal handler's
    // exception (KeyboardInterrupt) ends the wait early, including one for a
    // signal that came while spinning, which the blocking call would not see.
    PyObject* w = waiter.get();
    Ref got;
    if (PyErr_CheckSignals() == 0) got = Ref::steal(PyObject_Vectorcall(n.lock_acquire, &w, 1, nullptr));
    if (got) {
        call_descr(n.rlock_acquire_restore, rlock_.get(), saved.get());
        return;
    }
    // As wait()'s `finally`: take the lock back, then drop our waiter. An
    // error there replaces the pending one.
    ErrorStash stash;
    call_descr(n.rlock_acquire_restore, rlock_.get(), saved.get());
    remove_waiter(n, waiters_.get(), waiter.get());
    stash.restore();
    throw_error();
}

}  // namespace mthread
