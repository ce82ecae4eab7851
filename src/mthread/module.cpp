// Module definition (multi-phase initialisation) and the exec step: the
// imports, the class statement that creates ThreadEngine, and main mode.
#include "commands.hpp"

#include <new>

// The main flag. A program that embeds the interpreter (or the demonstration
// launcher, through ctypes) sets it to non-zero before the module is first
// imported; the module then runs as the main program.
extern "C" {
__attribute__((visibility("default"))) std::int32_t mthread_run_as_main = 0;
}

namespace mthread {
namespace {

const char kModuleDoc[] =
    "\n线程引擎模块\n\n该模块实现了基于线程的B树引擎，适用于需要并发处理的场景。\n"
    "每个行为树在独立的线程中运行，提高处理效率。\n";

const char kClassDoc[] =
    "\n    线程B树引擎类\n    \n    该类实现了基于线程的B树操作，每个行为树在独立的线程中执行。\n    ";

void init_strings(Strings& s) {
#define MTHREAD_INTERN(name)                              \
    s.name = PyUnicode_InternFromString(#name);           \
    if (!s.name) throw_error();
    MTHREAD_STRINGS(MTHREAD_INTERN)
#undef MTHREAD_INTERN
    if (!(s.main = PyUnicode_InternFromString("__main__"))) throw_error();
    if (!(s.empty = PyUnicode_InternFromString(""))) throw_error();
    if (!(s.error_type = PyUnicode_InternFromString("error"))) throw_error();
}

void init_command_names(CommandNames (&names)[kCommandCount]) {
    auto intern = [](PyObject*& slot, const char* text) {
        if (!(slot = PyUnicode_InternFromString(text))) throw_error();
    };
    for (const CommandDef& def : kCommands) {
        CommandNames& n = names[command_index(def)];
        intern(n.type, def.type);
        intern(n.core_method, def.core_method);
        std::span<const Param> params = def.params();
        for (std::size_t i = 0; i < params.size(); ++i) intern(n.params[i], params[i].name);
    }
}

// Calls fn(slot) for every string slot of the command names.
template <class F>
void each_command_name(CommandNames (&names)[kCommandCount], F&& fn) {
    for (CommandNames& n : names) {
        fn(n.type);
        fn(n.core_method);
        for (PyObject*& p : n.params) fn(p);
    }
}

void visit_strings(Strings& s, visitproc visit, void* arg, int& rc) {
    auto v = [&](PyObject* o) {
        if (!rc && o) rc = visit(o, arg);
    };
#define MTHREAD_VISIT(name) v(s.name);
    MTHREAD_STRINGS(MTHREAD_VISIT)
#undef MTHREAD_VISIT
    v(s.main);
    v(s.empty);
    v(s.error_type);
}

void clear_strings(Strings& s) {
#define MTHREAD_CLEAR(name) Py_CLEAR(s.name);
    MTHREAD_STRINGS(MTHREAD_CLEAR)
#undef MTHREAD_CLEAR
    Py_CLEAR(s.main);
    Py_CLEAR(s.empty);
    Py_CLEAR(s.error_type);
}

// `import <name>`, absolute, with the module namespace as globals, binding
// the top-level module under its own name.
void import_module(PyObject* ns, const char* name) {
    Ref n = str(name);
    Ref mod = Ref::check(PyImport_ImportModuleLevelObject(n.get(), ns, nullptr, nullptr, 0));
    bind(ns, name, mod.get());
}

// The class statement: namespace in declaration order, then type(...).
void define_class(PyObject* module, PyObject* ns) {
    Ref class_ns = Ref::check(PyDict_New());
    require(PyDict_SetItemString(class_ns.get(), "__module__", str(kModuleName).get()));
    require(PyDict_SetItemString(class_ns.get(), "__qualname__", str("ThreadEngine").get()));
    require(PyDict_SetItemString(class_ns.get(), "__doc__", str(kClassDoc).get()));
    for (const FunctionDef& def : engine_methods()) {
        Ref f = make_function(module, def);
        require(PyDict_SetItemString(class_ns.get(), def.name, f.get()));
    }
    Ref name = str("ThreadEngine");
    Ref bases = Ref::check(PyTuple_New(0));
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), class_ns.get());
    bind(ns, "ThreadEngine", cls.get());
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [&]() -> int {
        ModuleState* st = module_state(module);
        PyObject* ns = PyModule_GetDict(module);  // borrowed
        if (!ns) throw_error();

        if (mthread_run_as_main) bind(ns, "__name__", st->s.main);

        import_module(ns, "os");
        import_module(ns, "time");
        import_module(ns, "threading");
        import_from(ns, "typing", {"Any", "Dict", "List", "Optional", "Type", "Callable", "Tuple"});
        import_from(ns, "loguru", {"logger"});
        import_from(ns, "brannox.core", {"BehaviorTreeFactory", "NodeStatus", "TreeNode"});
        import_from(ns, "brannox.nodes.action_node", {"SimpleActionNode"});
        import_from(ns, "brannox.engine.sequential_engine", {"SequentialEngine"});

        define_class(module, ns);
        init_native(st);

        Ref name = lookup_global(module, st->s.__name__);
        if (require(PyObject_RichCompareBool(name.get(), st->s.main, Py_EQ))) run_demo(module);
        return 0;
    });
}

// State set-up runs before the exec step proper so that a failing import in
// the body still leaves a state that traverse and free can handle.
int exec_state(PyObject* module) {
    return guarded<int>(-1, [&]() -> int {
        ModuleState* st = module_state(module);
        new (st) ModuleState();
        st->sides = new std::unordered_map<PyObject*, TreeSidePtr>();
        st->orphans = new std::vector<Ref>();
        init_strings(st->s);
        init_command_names(st->commands);
        PyObject* builtins = PyEval_GetBuiltins();  // borrowed
        if (!builtins) throw_error();
        st->builtins = Py_NewRef(builtins);
        st->function_type = reinterpret_cast<PyTypeObject*>(make_function_type(module).release());
        return 0;
    });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = module_state(module);
    if (!st) return 0;
    Py_VISIT(st->function_type);
    Py_VISIT(st->builtins);
    int rc = 0;
    visit_strings(st->s, visit, arg, rc);
    each_command_name(st->commands, [&](PyObject*& o) {
        if (!rc && o) rc = visit(o, arg);
    });
    visit_native(st->native, visit, arg, rc);
    if (rc) return rc;
    if (st->sides)
        for (auto& [record, side] : *st->sides) {
            Py_VISIT(side->record.get());
            Py_VISIT(side->failure_cause.get());
        }
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = module_state(module);
    if (!st) return 0;
    free_sides(st);
    Py_CLEAR(st->function_type);
    Py_CLEAR(st->builtins);
    clear_strings(st->s);
    each_command_name(st->commands, [](PyObject*& o) { Py_CLEAR(o); });
    clear_native(st->native);
    return 0;
}

void module_free(void* module) {
    module_clear(static_cast<PyObject*>(module));
    ModuleState* st = module_state(static_cast<PyObject*>(module));
    if (st) {
        delete st->sides;
        st->sides = nullptr;
        delete st->orphans;
        st->orphans = nullptr;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_state)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "mthread",
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,  // no module-level functions
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

// `from <from> import <names...>`: each name is bound as soon as it is
// fetched. A missing attribute may still be an already imported submodule.
void import_from(PyObject* ns, const char* from, std::initializer_list<const char*> names) {
    Ref fromlist = Ref::check(PyList_New(0));
    for (const char* n : names) require(PyList_Append(fromlist.get(), str(n).get()));
    Ref from_name = str(from);
    Ref mod = Ref::check(
        PyImport_ImportModuleLevelObject(from_name.get(), ns, nullptr, fromlist.get(), 0));
    for (const char* n : names) {
        Ref name = str(n);
        Ref value = Ref::steal(PyObject_GetAttr(mod.get(), name.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            Ref full = Ref::check(PyUnicode_FromFormat("%s.%U", from, name.get()));
            PyObject* modules = PyImport_GetModuleDict();
            PyObject* sub = PyDict_GetItemWithError(modules, full.get());
            if (!sub) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
                throw_error();
            }
            value = Ref::borrow(sub);
        }
        require(PyDict_SetItem(ns, name.get(), value.get()));
    }
}

ModuleState* module_state(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

Ref lookup_global(PyObject* module, PyObject* name) {
    PyObject* ns = PyModule_GetDict(module);
    PyObject* v = PyDict_GetItemWithError(ns, name);
    if (!v) {
        if (PyErr_Occurred()) throw_error();
        v = PyDict_GetItemWithError(module_state(module)->builtins, name);
        if (!v) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw_error();
        }
    }
    return Ref::borrow(v);
}

}  // namespace mthread

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_mthread(void) {
    return PyModuleDef_Init(&mthread::module_def);
}
