// General helpers over Python objects: calls, mappings, the one-element
// slot lists of a tree record, messages and error clean-up. Nothing here
// knows about trees or threads.
#pragma once

#include "ref.hpp"

#include <initializer_list>
#include <string_view>
#include <vector>

namespace mthread {

// ---------------------------------------------------------------- calls

// Calls obj.name(*args) through the method protocol; new reference.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[] = {obj, args...};
    return Ref::check(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(A), nullptr));
}
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return Ref::check(PyObject_Vectorcall(callable, argv + 1,
                                          sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call0(PyObject* callable) { return Ref::check(PyObject_CallNoArgs(callable)); }

// Calls `callable(*pos, **dict(zip(kwnames, kwvalues)))`; new reference.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> pos, PyObject* kwnames,
                   std::initializer_list<PyObject*> kwvalues) {
    std::vector<PyObject*> argv(pos);
    argv.insert(argv.end(), kwvalues.begin(), kwvalues.end());
    return Ref::check(PyObject_Vectorcall(callable, argv.data(), pos.size(), kwnames));
}

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::check(PyObject_GetAttr(obj, name)); }

// ------------------------------------------------------------- mappings
//
// An exact dict is read and written directly (same result, no method call
// and, for the engine's bookkeeping, no Python code run between two steps);
// anything else goes through the mapping protocol.

// Borrowed value of `key` in the exact dict `dict`, or null when absent.
inline PyObject* dict_find(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v && PyErr_Occurred()) throw_error();
    return v;
}

// obj[key]; new reference.
inline Ref getitem(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        if (PyObject* v = dict_find(obj, key)) return Ref::borrow(v);
    }
    return Ref::check(PyObject_GetItem(obj, key));
}

// obj.get(key) for a mapping; an empty Ref when the key is absent.
inline Ref find_item(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) return Ref::borrow(dict_find(obj, key));
    Ref v = Ref::steal(PyObject_GetItem(obj, key));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
        PyErr_Clear();
    }
    return v;
}

inline bool contains(PyObject* obj, PyObject* key) { return require(PySequence_Contains(obj, key)); }

inline void delitem(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        require(PyDict_DelItem(obj, key));
        return;
    }
    require(PyObject_DelItem(obj, key));
}

// list(obj.keys()); new reference.
inline Ref keys_list(PyObject* obj, PyObject* keys_name) {
    if (PyDict_CheckExact(obj)) return Ref::check(PyDict_Keys(obj));
    Ref keys = call_method(obj, keys_name);
    return Ref::check(PySequence_List(keys.get()));
}

// Binds `name` in the namespace dict `ns`.
inline void bind(PyObject* ns, const char* name, PyObject* value) {
    require(PyDict_SetItemString(ns, name, value));
}

// ----------------------------------------------------------- slot lists

// Element 0 of a record's one-element slot list.
inline Ref slot_get(PyObject* slot) {
    if (PyList_CheckExact(slot) && PyList_GET_SIZE(slot) > 0) return Ref::borrow(PyList_GET_ITEM(slot, 0));
    Ref zero = Ref::check(PyLong_FromLong(0));
    return getitem(slot, zero.get());
}
inline void slot_set(PyObject* slot, PyObject* value) {
    if (PyList_CheckExact(slot)) {
        require(PyList_SetItem(slot, 0, Py_NewRef(value)));
        return;
    }
    Ref zero = Ref::check(PyLong_FromLong(0));
    require(PyObject_SetItem(slot, zero.get(), value));
}

inline Ref triple(PyObject* a, PyObject* b, PyObject* c) { return Ref::check(PyTuple_Pack(3, a, b, c)); }

// Unpacks exactly three values, as a tuple assignment does.
inline void unpack3(PyObject* obj, Ref out[3]) {
    auto too_few = [](Py_ssize_t n) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
        throw_error();
    };
    auto too_many = [] {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
        throw_error();
    };
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        if (n > 3) too_many();
        if (n < 3) too_few(n);
        for (int i = 0; i < 3; ++i) out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
        return;
    }
    Ref it = Ref::check(PyObject_GetIter(obj));
    for (Py_ssize_t i = 0; i < 3; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) throw_error();
            too_few(i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) too_many();
    if (PyErr_Occurred()) throw_error();
}

// ------------------------------------------------------------- messages

// The template with each "{}" replaced by the next argument (each a str).
// PyUnicode_FromFormat takes only ASCII outside its conversions, and the
// engine's texts are Chinese.
inline Ref message(std::string_view tmpl, std::initializer_list<PyObject*> args) {
    Ref pieces = Ref::check(PyList_New(0));
    auto add = [&](PyObject* piece) { require(PyList_Append(pieces.get(), piece)); };
    const PyObject* const* arg = args.begin();
    for (;;) {
        std::size_t hole = tmpl.find("{}");
        std::string_view literal = tmpl.substr(0, hole);
        if (!literal.empty()) add(str(literal).get());
        if (hole == std::string_view::npos) break;
        assert(arg != args.end() && "fewer arguments than {} in a message template");
        add(const_cast<PyObject*>(*arg++));
        tmpl.remove_prefix(hole + 2);
    }
    Ref sep = Ref::check(PyUnicode_New(0, 0));
    return Ref::check(PyUnicode_Join(sep.get(), pieces.get()));
}

// format(value, ""), as an f-string renders a value; new reference.
inline Ref format_value(PyObject* v, PyObject* empty) {
    if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
    return Ref::check(PyObject_Format(v, empty));
}

// ---------------------------------------------------------------- errors

// The exception being handled, normalised, with its traceback attached;
// the error indicator is cleared. New reference (null if none was set).
inline Ref take_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    if (v && b) PyException_SetTraceback(v.get(), b.get());
    return v;
}

// str(e) of the exception being handled; the exception is consumed.
inline Ref take_exception_text() {
    Ref v = take_exception();
    return Ref::check(PyObject_Str(v ? v.get() : Py_None));
}

// Sets `cause` as __cause__ of the pending exception, as `raise ... from
// cause` does (which also suppresses the context).
inline void set_pending_cause(PyObject* cause) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) {
        PyException_SetCause(value, Py_NewRef(cause));
        if (tb) PyException_SetTraceback(value, tb);
    }
    PyErr_Restore(type, value, tb);
}

// "Type: text" (or "Type" when str(e) is empty) of the pending exception,
// which stays set.
inline Ref describe_pending_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    // No error is set now, as the calls below need.
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
    Ref text = Ref::steal(PyObject_Str(value ? value : Py_None));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (!name || !PyUnicode_Check(name.get())) name = str("BaseException");
    if (!text || PyUnicode_GET_LENGTH(text.get()) == 0) return name;
    Ref sep = str(": ");
    Ref pieces = Ref::check(PyTuple_Pack(3, name.get(), sep.get(), text.get()));
    Ref empty = Ref::check(PyUnicode_New(0, 0));
    return Ref::check(PyUnicode_Join(empty.get(), pieces.get()));
}

// Runs `cleanup` with the pending error put aside, drops any error the
// clean-up raises, and puts the first one back: what a `finally:` that must
// not mask the real failure does.
template <class F>
void cleanup_keeping_error(F&& cleanup) {
    ErrorStash stash;
    try {
        cleanup();
    } catch (const PyError&) {
    }
    stash.restore_over();
}

}  // namespace mthread
