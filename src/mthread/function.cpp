// Our function-object type.
//
// It looks and binds like a function defined in Python: a descriptor that
// returns a bound method when read through an instance (and, with
// Py_TPFLAGS_METHOD_DESCRIPTOR, lets `obj.meth(x)` skip the bound method
// altogether), the usual introspection attributes, and vectorcall. Its
// calling conventions are stricter than Python's: parameters listed with an
// exact-type test refuse other types, subclasses of builtin types included,
// and some results are tested the same way after the body has run.
#include "mthread.hpp"

#include <structmember.h>

#include <algorithm>
#include <array>

namespace mthread {
namespace {

constexpr std::size_t kMaxParams = 8;

const char* check_type_name(Check c) {
    switch (c) {
        case Check::Str:
        case Check::StrOrNone: return "str";
        case Check::Dict:
        case Check::DictOrNone: return "dict";
        case Check::List: return "list";
        case Check::Int: return "int";
        case Check::Any: break;
    }
    return "object";
}

PyTypeObject* check_type(Check c) {
    switch (c) {
        case Check::Str:
        case Check::StrOrNone: return &PyUnicode_Type;
        case Check::Dict:
        case Check::DictOrNone: return &PyDict_Type;
        case Check::List: return &PyList_Type;
        case Check::Int: return &PyLong_Type;
        case Check::Any: break;
    }
    return nullptr;
}

bool accepts_none(Check c) { return c == Check::StrOrNone || c == Check::DictOrNone; }

// Raises the wrong-count TypeError. `exact` picks "exactly"; otherwise
// `too_many` picks "at most" over "at least".
[[noreturn]] void raise_count(const FunctionDef& def, bool exact, bool too_many,
                              Py_ssize_t expected, Py_ssize_t given) {
    const char* more_or_less = exact ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.name, more_or_less, expected, expected == 1 ? "" : "s", given);
    throw_error();
}

[[noreturn]] void raise_arg_type(const Param& p, PyObject* value) {
    PyTypeObject* want = check_type(p.check);
    bool subclass = PyObject_TypeCheck(value, want);
    Ref note = str(subclass ? "Subclasses of builtin types are refused by these argument tests; "
                              "pass an instance of the builtin type itself"
                            : "");
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", p.name,
                 check_type_name(p.check), Py_TYPE(value)->tp_name, subclass ? ". " : "",
                 note.get());
    throw_error();
}

bool passes(Check c, PyObject* v) {
    if (c == Check::Any) return true;
    if (v == Py_None && accepts_none(c)) return true;
    return Py_IS_TYPE(v, check_type(c));
}

// Finds a keyword's parameter index, or -1. Identity first (keywords are
// usually interned), then string equality.
Py_ssize_t find_param(PyObject* const* names, Py_ssize_t n, PyObject* key) {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (names[i] == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyUnicode_Compare(names[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) throw_error();
    }
    return -1;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* f = reinterpret_cast<FunctionObject*>(callable);
        const FunctionDef& def = *f->def;
        const auto nparams = static_cast<Py_ssize_t>(def.params.size());
        const Py_ssize_t nmin = nparams - (def.last_defaults_to_none ? 1 : 0);
        const bool exact = nmin == nparams;
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);

        if (nargs > nparams) raise_count(def, exact, true, nparams, nargs);

        std::array<PyObject*, kMaxParams> bound{};
        std::copy(args, args + nargs, bound.begin());
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        PyObject* const* kwvalues = args + nargs;

        Py_ssize_t used = 0;
        if (nkw) {
            // Parameters not filled by position are looked up by keyword, in
            // parameter order; a required one that is missing is reported first.
            PyObject* const* names = &PyTuple_GET_ITEM(kwnames, 0);
            PyObject* const* pnames = &PyTuple_GET_ITEM(f->param_names, 0);
            for (Py_ssize_t i = nargs; i < nparams; ++i) {
                Py_ssize_t hit = -1;
                for (Py_ssize_t k = 0; k < nkw; ++k) {
                    if (names[k] == pnames[i]) { hit = k; break; }
                }
                if (hit < 0) {
                    for (Py_ssize_t k = 0; k < nkw; ++k) {
                        if (PyUnicode_Check(names[k]) && PyUnicode_Compare(names[k], pnames[i]) == 0) {
                            hit = k;
                            break;
                        }
                    }
                }
                if (hit >= 0) {
                    bound[static_cast<std::size_t>(i)] = kwvalues[hit];
                    ++used;
                } else if (i < nmin) {
                    raise_count(def, exact, false, nmin, i);
                }
            }
            if (used < nkw) {
                for (Py_ssize_t k = 0; k < nkw; ++k) {
                    PyObject* key = names[k];
                    if (!PyUnicode_Check(key)) {
                        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
                        throw_error();
                    }
                    Py_ssize_t idx = find_param(pnames, nparams, key);
                    if (idx < 0) {
                        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                     def.name, key);
                        throw_error();
                    }
                    if (idx < nargs) {
                        PyErr_Format(PyExc_TypeError,
                                     "%s() got multiple values for keyword argument '%U'", def.name,
                                     key);
                        throw_error();
                    }
                }
            }
        } else if (nargs < nmin) {
            raise_count(def, exact, false, nmin, nargs);
        }
        for (Py_ssize_t i = nargs; i < nparams; ++i)
            if (!bound[static_cast<std::size_t>(i)]) bound[static_cast<std::size_t>(i)] = Py_None;

        for (std::size_t i = 0; i < def.params.size(); ++i) {
            const Param& p = def.params[i];
            if (!passes(p.check, bound[i])) raise_arg_type(p, bound[i]);
        }

        Call c{f, f->module, module_state(f->module), bound.data()};
        Ref result = def.body(c);
        if (def.result != ResultCheck::None && result.get() != Py_None) {
            PyTypeObject* want = nullptr;
            const char* want_name = nullptr;
            switch (def.result) {
                case ResultCheck::Str: want = &PyUnicode_Type; want_name = "str"; break;
                case ResultCheck::Int: want = &PyLong_Type; want_name = "int"; break;
                case ResultCheck::List: want = &PyList_Type; want_name = "list"; break;
                case ResultCheck::Dict: want = &PyDict_Type; want_name = "dict"; break;
                case ResultCheck::None: break;
            }
            if (!Py_IS_TYPE(result.get(), want)) {
                PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", want_name,
                             Py_TYPE(result.get())->tp_name);
                throw_error();
            }
        }
        return result.release();
    });
}

// ------------------------------------------------------------ slots

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->param_names);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->param_names);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Returns the function itself when read through the class, a bound method
// when read through an instance: the same rule as Python functions.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == Py_None || obj == nullptr) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// --------------------------------------------------------- attributes

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }

int set_name(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// inspect.signature() cannot read a signature out of a native callable, so
// it is built here from the parameter table, with the annotations (strings)
// and defaults that Python code would show.
PyObject* get_signature(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        FunctionObject* f = as_function(self);
        const FunctionDef& def = *f->def;
        Ref inspect = Ref::check(PyImport_ImportModule("inspect"));
        Ref parameter = getattr(inspect.get(), Ref::check(PyUnicode_InternFromString("Parameter")).get());
        Ref signature = getattr(inspect.get(), Ref::check(PyUnicode_InternFromString("Signature")).get());
        Ref kind = getattr(parameter.get(), str("POSITIONAL_OR_KEYWORD").get());
        Ref empty = getattr(parameter.get(), str("empty").get());
        Ref params = Ref::check(PyList_New(0));
        PyObject* ann = f->annotations;
        for (std::size_t i = 0; i < def.params.size(); ++i) {
            const Param& p = def.params[i];
            Ref name = str(p.name);
            Ref kwargs = Ref::check(PyDict_New());
            require(PyDict_SetItemString(kwargs.get(), "kind", kind.get()));
            if (i + 1 == def.params.size() && def.last_defaults_to_none)
                require(PyDict_SetItemString(kwargs.get(), "default", Py_None));
            PyObject* a = ann ? PyDict_GetItemWithError(ann, name.get()) : nullptr;
            if (!a && PyErr_Occurred()) throw_error();
            if (a) require(PyDict_SetItemString(kwargs.get(), "annotation", a));
            Ref posargs = Ref::check(PyTuple_Pack(1, name.get()));
            Ref param = Ref::check(PyObject_Call(parameter.get(), posargs.get(), kwargs.get()));
            require(PyList_Append(params.get(), param.get()));
        }
        Ref kwargs = Ref::check(PyDict_New());
        PyObject* ret = nullptr;
        if (ann) {
            Ref rkey = str("return");
            ret = PyDict_GetItemWithError(ann, rkey.get());
            if (!ret && PyErr_Occurred()) throw_error();
        }
        require(PyDict_SetItemString(kwargs.get(), "return_annotation", ret ? ret : empty.get()));
        Ref posargs = Ref::check(PyTuple_Pack(1, params.get()));
        return Ref::check(PyObject_Call(signature.get(), posargs.get(), kwargs.get())).release();
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "brannox.engine.trigger.mthread.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

Ref make_function_type(PyObject* module) {
    return Ref::check(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
}

Ref make_function(PyObject* module, const FunctionDef& def) {
    assert(def.params.size() <= kMaxParams);
    ModuleState* st = module_state(module);
    Ref name = str(def.name);
    Ref qualname = str(def.qualname);
    Ref module_name = str(kModuleName);
    Ref doc = def.doc ? str(def.doc) : none();
    Ref defaults = def.last_defaults_to_none ? Ref::check(PyTuple_Pack(1, Py_None)) : Ref();
    Ref param_names = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size())));
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        PyObject* pn = PyUnicode_InternFromString(def.params[i].name);
        if (!pn) throw_error();
        PyTuple_SET_ITEM(param_names.get(), static_cast<Py_ssize_t>(i), pn);
    }
    Ref annotations = Ref::check(PyDict_New());
    for (const Param& p : def.params) {
        if (!p.annotation) continue;
        require(PyDict_SetItem(annotations.get(), str(p.name).get(), str(p.annotation).get()));
    }
    if (def.return_annotation)
        require(PyDict_SetItem(annotations.get(), str("return").get(), str(def.return_annotation).get()));

    auto* f = PyObject_GC_New(FunctionObject, st->function_type);
    if (!f) throw_error();
    f->vectorcall = function_vectorcall;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module_name = module_name.release();
    f->doc = doc.release();
    f->defaults = defaults.release();
    f->kwdefaults = nullptr;
    f->annotations = annotations.release();
    f->dict = nullptr;
    f->module = Py_NewRef(module);
    f->param_names = param_names.release();
    f->def = &def;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace mthread
