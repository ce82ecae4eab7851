// The ThreadEngine methods.
//
// Threads. Any number of caller threads; one tree thread per live tree,
// running _run_tree, which alone touches that tree's core engine. A caller
// hands its command over through the tree's record ("cond", "command",
// "result", "thread"): it places the command under the record's condition,
// notifies and waits; the tree thread, holding the condition for the whole
// command, writes the result triple, clears the command slot and notifies.
//
// The record protocol alone lets a caller wait for ever (its tree thread has
// ended) or take another caller's answer (two callers, one slot, notify()
// waking one waiter). Each live tree therefore also has a TreeSide in the
// module state:
//   - a caller lock that lets one command per tree be in flight, so the only
//     waiters on the condition are the tree thread and at most one caller;
//     stop_tree takes it too, so the stop marker never replaces a command;
//   - `stopping`: set when a stop begins; later commands are refused;
//   - `ended`: set by the tree thread on every way out (stop, failure, an
//     exception that is not an Exception), under the condition; a waiting
//     caller is answered with an error and later callers are refused;
//   - the tree thread's ident, so a tick function commanding its own tree
//     fails at once instead of waiting on itself.
// The side state is created with the record and dropped when stop_tree
// removes the record, both without running Python code between the lookup
// in `trees` and the side table, so the two never disagree.
#include "mthread.hpp"

#include <vector>

namespace mthread {
namespace {

// ------------------------------------------------------------ docstrings

constexpr const char doc_init[] = "\n        初始化线程引擎\n        ";
constexpr const char doc_register_action_behavior[] = "\n        注册动作节点\n        \n        该方法封装了动作节点的注册过程，将节点注册信息存储起来，供后续创建行为树线程时使用。\n        \n        Args:\n            action_id: 动作节点ID\n            tick_functor: 节点的tick函数\n            ports_list: 节点的端口列表\n        ";
constexpr const char doc_register_action_class[] = "\n        通过类注册动作节点\n        \n        该方法通过传入节点类来注册动作节点，自动获取tick函数和ports列表。\n        \n        Args:\n            action_class: 动作节点类，必须继承自SimpleActionNode\n            action_id: 动作节点ID，如果为None则使用类名\n        ";
constexpr const char doc_run_tree[] = "\n        运行行为树线程\n        \n        Args:\n            tree_id: 行为树ID\n            xml_text: XML文本描述的行为树\n        ";
constexpr const char doc_process_command[] = "\n        处理命令\n        \n        Args:\n            engine: 顺序引擎实例\n            command: 命令字典\n            tree_id: 行为树ID\n            result: 结果列表\n        ";
constexpr const char doc_create_tree_from_text[] = "\n        从XML文本创建行为树\n        \n        Args:\n            xml_text: XML文本描述的行为树\n            tree_id: 行为树ID，如果为None则自动生成\n            \n        Returns:\n            str: 行为树ID\n        ";
constexpr const char doc_create_tree_from_file[] = "\n        从XML文件创建行为树\n        \n        Args:\n            file_path: XML文件路径\n            tree_id: 行为树ID，如果为None则自动生成\n            \n        Returns:\n            str: 行为树ID\n        ";
constexpr const char doc_check_tree_exists[] = "\n        检查行为树是否存在\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Raises:\n            ValueError: 如果行为树不存在\n        ";
constexpr const char doc_get_tree_ids[] = "\n        获取所有行为树ID\n        \n        Returns:\n            List[str]: 行为树ID列表\n        ";
constexpr const char doc_send_command[] = "\n        发送命令到行为树线程\n        \n        Args:\n            tree_id: 行为树ID\n            command_type: 命令类型\n            params: 命令参数\n            \n        Returns:\n            Any: 命令执行结果\n            \n        Raises:\n            ValueError: 如果行为树不存在\n            RuntimeError: 如果命令执行失败\n        ";
constexpr const char doc_tick_once[] = "\n        执行一次行为树tick\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Returns:\n            NodeStatus: 执行状态\n        ";
constexpr const char doc_tick_until_failure[] = "\n        执行行为树直到失败\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Returns:\n            int: 执行次数\n        ";
constexpr const char doc_tick_until_success[] = "\n        执行行为树直到成功\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Returns:\n            int: 执行次数\n        ";
constexpr const char doc_tick_n_times[] = "\n        执行行为树n次\n        \n        Args:\n            tree_id: 行为树ID\n            n: 执行次数\n            \n        Returns:\n            List[NodeStatus]: 执行状态列表\n        ";
constexpr const char doc_get_tree_status[] = "\n        获取行为树状态\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Returns:\n            Dict[str, Any]: 行为树状态\n        ";
constexpr const char doc_get_blackboard_data[] = "\n        获取黑板数据\n        \n        Args:\n            tree_id: 行为树ID\n            key: 数据键\n            \n        Returns:\n            Any: 数据值\n        ";
constexpr const char doc_set_blackboard_data[] = "\n        设置黑板数据\n        \n        Args:\n            tree_id: 行为树ID\n            key: 数据键\n            value: 数据值\n        ";
constexpr const char doc_get_all_blackboard_data[] = "\n        获取所有黑板数据\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Returns:\n            Dict[str, Any]: 所有黑板数据\n        ";
constexpr const char doc_reset_tree[] = "\n        重置行为树\n        \n        Args:\n            tree_id: 行为树ID\n        ";
constexpr const char doc_stop_tree[] = "\n        停止行为树线程\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Raises:\n            ValueError: 如果行为树不存在\n        ";
constexpr const char doc_stop_all_trees[] = "\n        停止所有行为树线程\n        ";
constexpr const char doc_del[] = "\n        析构函数，确保所有线程被正确停止\n        ";

// ------------------------------------------------------------ helpers

const Strings& S(const Call& c) { return c.st->s; }

// Joins str objects into one new str.
Ref join(std::initializer_list<PyObject*> parts) {
    Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (PyObject* p : parts) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(p));
    Ref sep = Ref::check(PyUnicode_New(0, 0));
    return Ref::check(PyUnicode_Join(sep.get(), tuple.get()));
}

// One call of logger.info(text) or logger.error(text), `logger` read now.
void log_line(const Call& c, PyObject* level, PyObject* text) {
    Ref logger = lookup_global(c.module, S(c).logger);
    call_method(logger.get(), level, text);
}

// Log the message at error level, then raise `exc_type` with the same text.
[[noreturn]] void fail(const Call& c, PyObject* exc_type, PyObject* message) {
    log_line(c, S(c).error, message);
    PyErr_SetObject(exc_type, message);
    throw_error();
}

// obj[key]; a plain dict is read directly (same result, no method call).
Ref getitem(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        PyObject* v = PyDict_GetItemWithError(obj, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) throw_error();
    }
    return Ref::check(PyObject_GetItem(obj, key));
}

// Element 0 of a slot list.
Ref slot_get(PyObject* slot) {
    if (PyList_CheckExact(slot) && PyList_GET_SIZE(slot) > 0) return Ref::borrow(PyList_GET_ITEM(slot, 0));
    Ref zero = Ref::check(PyLong_FromLong(0));
    return getitem(slot, zero.get());
}
void slot_set(PyObject* slot, PyObject* value) {
    if (PyList_CheckExact(slot)) {
        require(PyList_SetItem(slot, 0, Py_NewRef(value)));
        return;
    }
    Ref zero = Ref::check(PyLong_FromLong(0));
    require(PyObject_SetItem(slot, zero.get(), value));
}

Ref triple(PyObject* a, PyObject* b, PyObject* c) { return Ref::check(PyTuple_Pack(3, a, b, c)); }

// Calls `callable(*pos, **dict(zip(kwnames, kwvalues)))`.
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> pos, PyObject* kwnames,
            std::initializer_list<PyObject*> kwvalues) {
    std::vector<PyObject*> argv(pos);
    argv.insert(argv.end(), kwvalues.begin(), kwvalues.end());
    return Ref::check(PyObject_Vectorcall(callable, argv.data(), pos.size(), kwnames));
}

// Unpacks exactly three values, as a tuple assignment does.
void unpack3(PyObject* obj, Ref out[3]) {
    if ((PyTuple_CheckExact(obj) || PyList_CheckExact(obj))) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        if (n == 3) {
            for (int i = 0; i < 3; ++i) out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
            return;
        }
        if (n > 3) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
        } else {
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
        }
        throw_error();
    }
    Ref it = Ref::check(PyObject_GetIter(obj));
    for (Py_ssize_t i = 0; i < 3; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) throw_error();
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
            throw_error();
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
        throw_error();
    }
    if (PyErr_Occurred()) throw_error();
}

// `with mgr as value: body(value)`. Returns false when __exit__ swallowed an
// exception raised by the body (the statement after the block runs next).
template <class F>
bool with_block(PyObject* mgr, const Strings& s, F&& body) {
    Ref entered = call_method(mgr, s.__enter__);
    try {
        body(entered.get());
    } catch (const PyError&) {
        if (exit_context(mgr, s, true)) return false;
        throw;
    }
    exit_context(mgr, s, false);
    return true;
}

// str(e) of the exception being handled; the exception is consumed.
Ref take_exception_text() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    return Ref::check(PyObject_Str(v ? v.get() : Py_None));
}

// ---------------------------------------------------------- side state

TreeSidePtr find_side(ModuleState* st, PyObject* record) {
    auto it = st->sides->find(record);
    return it == st->sides->end() ? nullptr : it->second;
}

// The side state of a record, made on first use. Callers look the record up
// in `trees` and call this without running Python code in between.
TreeSidePtr side_for(ModuleState* st, PyObject* record) {
    if (auto side = find_side(st, record)) return side;
    auto side = std::make_shared<TreeSide>();
    side->caller_lock = PyThread_allocate_lock();
    if (!side->caller_lock) {
        PyErr_NoMemory();
        throw_error();
    }
    side->record = Ref::borrow(record);
    st->sides->emplace(record, side);
    return side;
}

void drop_side(ModuleState* st, PyObject* record) {
    auto it = st->sides->find(record);
    if (it == st->sides->end()) return;
    TreeSidePtr keep = std::move(it->second);  // destroyed after the erase
    st->sides->erase(it);
}

// Holds a side's caller lock; the wait releases the interpreter lock and
// lets signal handlers (KeyboardInterrupt) interrupt it, as lock.acquire() does.
class CallerLock {
public:
    explicit CallerLock(PyThread_type_lock lock) : lock_(lock) {
        if (PyThread_acquire_lock(lock_, NOWAIT_LOCK)) return;
        for (;;) {
            PyLockStatus r;
            Py_BEGIN_ALLOW_THREADS
            r = PyThread_acquire_lock_timed(lock_, -1, 1);
            Py_END_ALLOW_THREADS
            if (r == PY_LOCK_ACQUIRED) return;
            if (r == PY_LOCK_INTR) {
                if (Py_MakePendingCalls() < 0) throw_error();
                continue;
            }
            PyErr_SetString(PyExc_RuntimeError, "could not acquire a tree's caller lock");
            throw_error();
        }
    }
    CallerLock(const CallerLock&) = delete;
    CallerLock& operator=(const CallerLock&) = delete;
    ~CallerLock() { PyThread_release_lock(lock_); }

private:
    PyThread_type_lock lock_;
};

// Marks a side ended, under the record's condition, and answers a command
// still waiting for a result so that its caller is not stranded. Any pending
// exception is kept.
void finish_tree(const Call& c, TreeSide& side, PyObject* tree_id, PyObject* reason) {
    // Thread idents are reused once a thread has ended.
    side.thread_ident = 0;
    if (side.ended) return;
    HintSettler settle;  // this thread answers nothing more
    ErrorStash stash;
    try {
        PyObject* record = side.record.get();
        Ref cond = getitem(record, S(c).cond);
        Ref command = getitem(record, S(c).command);
        Ref result = getitem(record, S(c).result);
        CondView cv(c.st, cond.get());
        with_cond(cv, [&] {
            if (side.ended) return;
            side.ended = true;
            side.end_reason = Ref::borrow(reason);
            Ref pending = slot_get(command.get());
            Ref answered = slot_get(result.get());
            if (pending.get() != Py_None && pending.get() != Py_False && answered.get() == Py_None) {
                Ref t = triple(S(c).error_type, tree_id, reason);
                slot_set(result.get(), t.get());
                cv.notify();
            }
        });
    } catch (const PyError&) {
        // The tree is ended whatever the record allowed us to do.
        side.ended = true;
        if (!side.end_reason) side.end_reason = Ref::borrow(reason);
        if (!stash.empty()) {
            stash.restore_over();
        } else {
            PyErr_WriteUnraisable(nullptr);
        }
        return;
    }
    if (!stash.empty()) stash.restore();
}

Ref command_failure(PyObject* tree_id, PyObject* command_type, PyObject* reason) {
    Ref a = str("行为树 "), b = str(" 执行命令 "), d = str(" 失败: ");
    return join({a.get(), tree_id, b.get(), command_type, d.get(), reason});
}

Ref stopping_reason(PyObject* tree_id) {
    Ref a = str("行为树 "), b = str(" 正在停止或已停止");
    return join({a.get(), tree_id, b.get()});
}

// The error of an identifier that is not live, as _check_tree_exists gives it.
[[noreturn]] void fail_missing(const Call& c, PyObject* tree_id);

// ------------------------------------------------------------- registry

Ref init_body(const Call& c) {
    PyObject* self = c[0];
    Ref factory_class = lookup_global(c.module, S(c).BehaviorTreeFactory);
    Ref factory = call0(factory_class.get());
    require(PyObject_SetAttr(self, S(c).factory, factory.get()));
    Ref trees = Ref::check(PyDict_New());
    require(PyObject_SetAttr(self, S(c).trees, trees.get()));
    Ref regs = Ref::check(PyList_New(0));
    require(PyObject_SetAttr(self, S(c).action_registrations, regs.get()));
    log_line(c, S(c).info, str("初始化线程引擎").get());
    return none();
}

Ref register_action_behavior_body(const Call& c) {
    PyObject *self = c[0], *action_id = c[1], *tick_functor = c[2], *ports_list = c[3];
    Ref prefix = str("注册动作节点: ");
    log_line(c, S(c).info, join({prefix.get(), action_id}).get());
    Ref entry = triple(action_id, tick_functor, ports_list);
    Ref regs = getattr(self, S(c).action_registrations);
    if (PyList_CheckExact(regs.get())) {
        require(PyList_Append(regs.get(), entry.get()));
    } else {
        call_method(regs.get(), S(c).append, entry.get());
    }
    return none();
}

Ref register_action_class_body(const Call& c) {
    PyObject *self = c[0], *action_class = c[1];
    Ref action_id = Ref::borrow(c[2]);
    Ref base = lookup_global(c.module, S(c).SimpleActionNode);
    if (!require(PyObject_IsSubclass(action_class, base.get()))) {
        Ref name = getattr(action_class, S(c).__name__);
        Ref text = format_value(name.get(), S(c));
        Ref a = str("节点类 "), b = str(" 必须继承自SimpleActionNode");
        fail(c, PyExc_TypeError, join({a.get(), text.get(), b.get()}).get());
    }
    if (action_id.get() == Py_None) {
        Ref name = getattr(action_class, S(c).__name__);
        if (name.get() != Py_None && !PyUnicode_CheckExact(name.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(name.get())->tp_name);
            throw_error();
        }
        action_id = std::move(name);
    }
    Ref tick = getattr(action_class, S(c).tick);
    Ref ports = Ref::steal(PyObject_GetAttr(action_class, S(c).ports));
    if (!ports) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        ports = Ref::check(PyList_New(0));
    }
    call_method(self, S(c).register_action_behavior, action_id.get(), tick.get(), ports.get());
    return none();
}

// ------------------------------------------------------ the tree thread

// Serves commands until the stop marker; returns normally on a stop.
void serve(const Call& c, PyObject* engine, PyObject* record, PyObject* tree_id) {
    PyObject* self = c[0];
    Ref cond = getitem(record, S(c).cond);
    Ref command = getitem(record, S(c).command);
    Ref result = getitem(record, S(c).result);
    for (;;) {
        bool stop = false;
        CondView cv(c.st, cond.get());
        with_cond(cv, [&] {
            Ref cmd = slot_get(command.get());
            while (cmd.get() == Py_None) {
                cv.wait();
                cmd = slot_get(command.get());
            }
            if (cmd.get() == Py_False) {
                stop = true;
                return;
            }
            call_method(self, S(c)._process_command, engine, cmd.get(), tree_id, result.get());
            slot_set(command.get(), Py_None);
            cv.notify();
        });
        if (stop) return;
    }
}

Ref run_tree_body(const Call& c) {
    PyObject *self = c[0], *tree_id = c[1], *xml_text = c[2];
    ModuleState* st = c.st;
    TreeSidePtr side;

    // Known from the start, so that a command sent to this tree from this
    // very thread (a tick function commanding its own tree) fails at once.
    {
        Ref trees = getattr(self, S(c).trees);
        if (PyDict_CheckExact(trees.get())) {
            PyObject* record = PyDict_GetItemWithError(trees.get(), tree_id);
            if (!record && PyErr_Occurred()) throw_error();
            if (record) {
                side = side_for(st, record);
                side->thread_ident = PyThread_get_thread_ident();
            }
        }
    }

    Ref record;
    try {
        Ref engine_class = lookup_global(c.module, S(c).SequentialEngine);
        Ref engine = call0(engine_class.get());
        Ref regs = getattr(self, S(c).action_registrations);
        Ref it = Ref::check(PyObject_GetIter(regs.get()));
        while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
            Ref parts[3];
            unpack3(entry.get(), parts);
            call_method(engine.get(), S(c).register_action_behavior, parts[0].get(), parts[1].get(),
                        parts[2].get());
        }
        if (PyErr_Occurred()) throw_error();
        call_method(engine.get(), S(c).create_tree_from_text, xml_text);

        Ref trees = getattr(self, S(c).trees);
        record = getitem(trees.get(), tree_id);
        side = side_for(st, record.get());
        side->thread_ident = PyThread_get_thread_ident();
        serve(c, engine.get(), record.get(), tree_id);
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            if (side) {
                Ref a = str("行为树线程 "), b = str(" 意外结束");
                finish_tree(c, *side, tree_id, join({a.get(), tree_id, b.get()}).get());
            }
            throw;
        }
        Ref text = take_exception_text();
        Ref a = str("行为树线程 "), b = str(" 发生错误: ");
        Ref message = join({a.get(), tree_id, b.get(), text.get()});
        try {
            log_line(c, S(c).error, message.get());
            if (!record) {
                // A set-up failure: the record is taken now, so that a caller
                // already waiting is answered.
                Ref trees = getattr(self, S(c).trees);
                if (PyDict_CheckExact(trees.get())) {
                    PyObject* r = PyDict_GetItemWithError(trees.get(), tree_id);
                    if (!r && PyErr_Occurred()) throw_error();
                    if (r) record = Ref::borrow(r);
                } else {
                    record = getitem(trees.get(), tree_id);
                }
                if (record) side = side_for(st, record.get());
            }
            if (record) {
                HintSettler settle;  // this thread ends after answering
                Ref cond = getitem(record.get(), S(c).cond);
                CondView cv(c.st, cond.get());
                with_cond(cv, [&] {
                    Ref result = getitem(record.get(), S(c).result);
                    Ref t = triple(S(c).error_type, tree_id, message.get());
                    slot_set(result.get(), t.get());
                    if (side) {
                        side->ended = true;
                        side->end_reason = Ref::borrow(message.get());
                    }
                    cv.notify();
                });
            }
        } catch (const PyError&) {
            if (side) finish_tree(c, *side, tree_id, message.get());
            throw;
        }
        if (side) finish_tree(c, *side, tree_id, message.get());
        return none();
    }
    if (side) finish_tree(c, *side, tree_id, stopping_reason(tree_id).get());
    return none();
}

// ------------------------------------------------------- command exchange

using Handler = Ref (*)(const Call&, PyObject* engine, PyObject* params);

// params.get(key, default): an ordinary method call unless params is a dict.
Ref param(const Call& c, PyObject* params, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(params)) {
        PyObject* v = PyDict_GetItemWithError(params, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) throw_error();
        return Ref::borrow(dflt);
    }
    return call_method(params, S(c).get, key, dflt);
}

Ref h_tick_once(const Call& c, PyObject* e, PyObject*) { return call_method(e, S(c).tick_once); }
Ref h_until_failure(const Call& c, PyObject* e, PyObject*) { return call_method(e, S(c).tick_until_failure); }
Ref h_until_success(const Call& c, PyObject* e, PyObject*) { return call_method(e, S(c).tick_until_success); }
Ref h_n_times(const Call& c, PyObject* e, PyObject* p) {
    Ref one = Ref::check(PyLong_FromLong(1));
    Ref n = param(c, p, S(c).n, one.get());
    return call_method(e, S(c).tick_n_times, n.get());
}
Ref h_status(const Call& c, PyObject* e, PyObject*) { return call_method(e, S(c).get_tree_status); }
Ref h_get(const Call& c, PyObject* e, PyObject* p) {
    Ref key = param(c, p, S(c).key, Py_None);
    return call_method(e, S(c).get_blackboard_data, key.get());
}
Ref h_set(const Call& c, PyObject* e, PyObject* p) {
    Ref key = param(c, p, S(c).key, Py_None);
    Ref value = param(c, p, S(c).value, Py_None);
    call_method(e, S(c).set_blackboard_data, key.get(), value.get());
    return none();
}
Ref h_get_all(const Call& c, PyObject* e, PyObject*) { return call_method(e, S(c).get_all_blackboard_data); }
Ref h_reset(const Call& c, PyObject* e, PyObject*) {
    call_method(e, S(c).reset_tree);
    return none();
}

struct CommandType {
    PyObject* Strings::*name;
    Handler handler;
};
constexpr CommandType kCommandTypes[] = {
    {&Strings::tick_once, h_tick_once},
    {&Strings::tick_until_failure, h_until_failure},
    {&Strings::tick_until_success, h_until_success},
    {&Strings::tick_n_times, h_n_times},
    {&Strings::get_status, h_status},
    {&Strings::get_blackboard_data, h_get},
    {&Strings::set_blackboard_data, h_set},
    {&Strings::get_all_blackboard_data, h_get_all},
    {&Strings::reset, h_reset},
};

Ref process_command_body(const Call& c) {
    PyObject *engine = c[1], *command = c[2], *tree_id = c[3], *result = c[4];
    PyObject* found = PyDict_GetItemWithError(command, S(c).type);
    if (!found && PyErr_Occurred()) throw_error();
    Ref command_type = Ref::borrow(found ? found : Py_None);
    Ref params = Ref::borrow(PyDict_GetItemWithError(command, S(c).params));
    if (!params) {
        if (PyErr_Occurred()) throw_error();
        params = Ref::check(PyDict_New());
    }
    try {
        const CommandType* match = nullptr;
        for (const CommandType& t : kCommandTypes) {
            if (require(PyObject_RichCompareBool(command_type.get(), S(c).*t.name, Py_EQ))) {
                match = &t;
                break;
            }
        }
        if (match) {
            Ref value = match->handler(c, engine, params.get());
            Ref t = triple(S(c).*match->name, tree_id, value.get());
            slot_set(result, t.get());
        } else {
            Ref a = str("未知命令类型: ");
            Ref message = join({a.get(), format_value(command_type.get(), S(c)).get()});
            log_line(c, S(c).error, message.get());
            Ref t = triple(S(c).error_type, tree_id, message.get());
            slot_set(result, t.get());
        }
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        Ref text = take_exception_text();
        Ref a = str("处理命令 "), b = str(" 时发生错误: ");
        Ref message = join({a.get(), format_value(command_type.get(), S(c)).get(), b.get(), text.get()});
        log_line(c, S(c).error, message.get());
        Ref t = triple(S(c).error_type, tree_id, message.get());
        slot_set(result, t.get());
    }
    return none();
}

// A live tree as a command or a stop finds it: its record (after the
// existence check), its side state, its condition and its command slot.
struct LiveTree {
    Ref record;
    TreeSidePtr side;
    Ref cond;
    Ref command;
};

LiveTree find_live_tree(const Call& c, PyObject* self, PyObject* tree_id) {
    call_method(self, S(c)._check_tree_exists, tree_id);
    Ref trees = getattr(self, S(c).trees);
    LiveTree t;
    t.record = getitem(trees.get(), tree_id);
    t.side = side_for(c.st, t.record.get());  // no Python code since the lookup
    t.cond = getitem(t.record.get(), S(c).cond);
    t.command = getitem(t.record.get(), S(c).command);
    return t;
}

Ref send_command_body(const Call& c) {
    PyObject *self = c[0], *tree_id = c[1], *command_type = c[2], *params = c[3];
    LiveTree tree = find_live_tree(c, self, tree_id);
    TreeSidePtr& side = tree.side;
    Ref& cond = tree.cond;
    Ref& command = tree.command;
    Ref result = getitem(tree.record.get(), S(c).result);

    Ref cmd = Ref::check(PyDict_New());
    require(PyDict_SetItem(cmd.get(), S(c).type, command_type));
    if (params != Py_None && PyDict_GET_SIZE(params) > 0) {
        require(PyDict_SetItem(cmd.get(), S(c).params, params));
    } else {
        require(PyDict_SetItem(cmd.get(), S(c).params, Ref::check(PyDict_New()).get()));
    }

    if (side->thread_ident == PyThread_get_thread_ident()) {
        Ref reason = str("不能在行为树自己的线程中向它发送命令");
        fail(c, PyExc_RuntimeError, command_failure(tree_id, command_type, reason.get()).get());
    }

    CallerLock serialised(side->caller_lock);
    if (side->withdrawn) fail_missing(c, tree_id);  // its creation failed meanwhile
    Ref answer;
    CondView cv(c.st, cond.get());
    with_cond(cv, [&] {
        if (side->stopping || side->ended) {
            Ref reason = side->ended && side->end_reason ? Ref::borrow(side->end_reason.get())
                                                         : stopping_reason(tree_id);
            fail(c, PyExc_RuntimeError, command_failure(tree_id, command_type, reason.get()).get());
        }
        slot_set(command.get(), cmd.get());
        cv.notify();
        Ref got = slot_get(result.get());
        while (got.get() == Py_None) {
            if (side->ended) {
                // The tree thread ended without answering: take the command back.
                if (slot_get(command.get()).get() == cmd.get()) slot_set(command.get(), Py_None);
                Ref reason = side->end_reason ? Ref::borrow(side->end_reason.get()) : stopping_reason(tree_id);
                fail(c, PyExc_RuntimeError, command_failure(tree_id, command_type, reason.get()).get());
            }
            try {
                cv.wait();
            } catch (const PyError&) {
                // Interrupted: leave nothing behind for the next caller. The
                // condition's lock is held again here (wait() restores it).
                ErrorStash stash;
                try {
                    if (slot_get(command.get()).get() == cmd.get()) {
                        slot_set(command.get(), Py_None);
                    } else if (slot_get(result.get()).get() != Py_None) {
                        slot_set(result.get(), Py_None);
                    }
                } catch (const PyError&) {
                }
                stash.restore_over();
                throw;
            }
            got = slot_get(result.get());
        }
        Ref parts[3];
        unpack3(got.get(), parts);
        slot_set(result.get(), Py_None);
        if (require(PyObject_RichCompareBool(parts[0].get(), S(c).error_type, Py_EQ))) {
            Ref reason = format_value(parts[2].get(), S(c));
            fail(c, PyExc_RuntimeError, command_failure(tree_id, command_type, reason.get()).get());
        }
        answer = std::move(parts[2]);
    });
    return answer ? std::move(answer) : none();
}

// ------------------------------------------------------ creation, lookup

[[noreturn]] void fail_duplicate(const Call& c, PyObject* tree_id) {
    Ref a = str("行为树ID "), b = str(" 已存在");
    fail(c, PyExc_ValueError, join({a.get(), tree_id, b.get()}).get());
}

// Removes `record` from `trees` if it is still the entry for `tree_id`,
// together with its side state. Returns whether it was removed.
bool withdraw(const Call& c, PyObject* trees, PyObject* tree_id, PyObject* record) {
    if (PyDict_CheckExact(trees)) {
        PyObject* cur = PyDict_GetItemWithError(trees, tree_id);
        if (!cur) {
            if (PyErr_Occurred()) throw_error();
            return false;
        }
        if (cur != record) return false;
        require(PyDict_DelItem(trees, tree_id));
        drop_side(c.st, record);
        return true;
    }
    Ref cur = Ref::steal(PyObject_GetItem(trees, tree_id));
    if (!cur) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
        PyErr_Clear();
        return false;
    }
    if (cur.get() != record) return false;
    require(PyObject_DelItem(trees, tree_id));
    drop_side(c.st, record);
    return true;
}

Ref create_tree_from_text_body(const Call& c) {
    PyObject *self = c[0], *xml_text = c[1];
    Ref tree_id = Ref::borrow(c[2]);
    Ref trees = getattr(self, S(c).trees);
    if (tree_id.get() == Py_None) {
        Py_ssize_t n = PyObject_Length(trees.get());
        if (n < 0) throw_error();
        tree_id = Ref::check(PyUnicode_FromFormat("tree_%zd", n));
    }
    if (require(PySequence_Contains(trees.get(), tree_id.get()))) fail_duplicate(c, tree_id.get());

    Ref threading = lookup_global(c.module, S(c).threading);
    Ref condition_class = getattr(threading.get(), S(c).Condition);
    Ref cond = call0(condition_class.get());
    Ref command = Ref::check(PyList_New(1));
    PyList_SET_ITEM(command.get(), 0, Py_NewRef(Py_None));
    Ref result = Ref::check(PyList_New(1));
    PyList_SET_ITEM(result.get(), 0, Py_NewRef(Py_None));
    Ref record = Ref::check(PyDict_New());
    require(PyDict_SetItem(record.get(), S(c).cond, cond.get()));
    require(PyDict_SetItem(record.get(), S(c).command, command.get()));
    require(PyDict_SetItem(record.get(), S(c).result, result.get()));
    require(PyDict_SetItem(record.get(), S(c).thread, Py_None));

    // Building the record ran Python code, so another thread may have taken
    // the identifier meanwhile: the test and the insertion are made again
    // as one step.
    if (PyDict_CheckExact(trees.get())) {
        PyObject* held = PyDict_SetDefault(trees.get(), tree_id.get(), record.get());
        if (!held) throw_error();
        if (held != record.get()) fail_duplicate(c, tree_id.get());
    } else {
        require(PyObject_SetItem(trees.get(), tree_id.get(), record.get()));
    }
    // Held until the thread has started (or the record is withdrawn): a
    // stop or a command arriving meanwhile waits for creation to finish
    // instead of finding a record without a running thread.
    TreeSidePtr side = side_for(c.st, record.get());
    CallerLock creating(side->caller_lock);

    try {
        Ref thread_class = getattr(lookup_global(c.module, S(c).threading).get(), S(c).Thread);
        Ref target = getattr(self, S(c)._run_tree);
        Ref args = Ref::check(PyTuple_Pack(2, tree_id.get(), xml_text));
        Ref kwnames = Ref::check(PyTuple_Pack(2, S(c).target, S(c).args));
        Ref thread = call_kw(thread_class.get(), {}, kwnames.get(), {target.get(), args.get()});
        require(PyDict_SetItem(record.get(), S(c).thread, thread.get()));
        call_method(thread.get(), S(c).start);
    } catch (const PyError&) {
        // No thread will serve this record: withdraw it before the caller
        // sees the exception.
        ErrorStash stash;
        side->withdrawn = true;
        try {
            withdraw(c, trees.get(), tree_id.get(), record.get());
        } catch (const PyError&) {
        }
        stash.restore_over();
        throw;
    }
    Ref a = str("创建行为树: ");
    log_line(c, S(c).info, join({a.get(), tree_id.get()}).get());
    return tree_id;
}

Ref create_tree_from_file_body(const Call& c) {
    PyObject *self = c[0], *file_path = c[1], *tree_id = c[2];
    Ref open = lookup_global(c.module, S(c).open);
    Ref mode = str("r"), encoding = str("utf-8");
    Ref kwnames = Ref::check(PyTuple_Pack(1, Ref::check(PyUnicode_InternFromString("encoding")).get()));
    Ref file = call_kw(open.get(), {file_path, mode.get()}, kwnames.get(), {encoding.get()});
    Ref xml_text;
    if (!with_block(file.get(), S(c), [&](PyObject* f) { xml_text = call_method(f, S(c).read); }))
        return none();
    return call_method(self, S(c).create_tree_from_text, xml_text.get(), tree_id);
}

void fail_missing(const Call& c, PyObject* tree_id) {
    Ref a = str("行为树ID "), b = str(" 不存在");
    fail(c, PyExc_ValueError, join({a.get(), tree_id, b.get()}).get());
}

Ref check_tree_exists_body(const Call& c) {
    PyObject *self = c[0], *tree_id = c[1];
    Ref trees = getattr(self, S(c).trees);
    if (!require(PySequence_Contains(trees.get(), tree_id))) fail_missing(c, tree_id);
    return none();
}

Ref get_tree_ids_body(const Call& c) {
    Ref trees = getattr(c[0], S(c).trees);
    if (PyDict_CheckExact(trees.get())) return Ref::check(PyDict_Keys(trees.get()));
    Ref keys = call_method(trees.get(), S(c).keys);
    return Ref::check(PySequence_List(keys.get()));
}

// ------------------------------------------------------- tree operations

Ref send(const Call& c, PyObject* command_type) {
    return call_method(c[0], S(c)._send_command, c[1], command_type);
}
Ref send(const Call& c, PyObject* command_type, PyObject* params) {
    return call_method(c[0], S(c)._send_command, c[1], command_type, params);
}
Ref one_param(PyObject* k, PyObject* v) {
    Ref d = Ref::check(PyDict_New());
    require(PyDict_SetItem(d.get(), k, v));
    return d;
}

Ref tick_once_body(const Call& c) { return send(c, S(c).tick_once); }
Ref tick_until_failure_body(const Call& c) { return send(c, S(c).tick_until_failure); }
Ref tick_until_success_body(const Call& c) { return send(c, S(c).tick_until_success); }
Ref tick_n_times_body(const Call& c) { return send(c, S(c).tick_n_times, one_param(S(c).n, c[2]).get()); }
Ref get_tree_status_body(const Call& c) { return send(c, S(c).get_status); }
Ref get_blackboard_data_body(const Call& c) {
    return send(c, S(c).get_blackboard_data, one_param(S(c).key, c[2]).get());
}
Ref set_blackboard_data_body(const Call& c) {
    Ref p = one_param(S(c).key, c[2]);
    require(PyDict_SetItem(p.get(), S(c).value, c[3]));
    send(c, S(c).set_blackboard_data, p.get());
    return none();
}
Ref get_all_blackboard_data_body(const Call& c) { return send(c, S(c).get_all_blackboard_data); }
Ref reset_tree_body(const Call& c) {
    send(c, S(c).reset);
    return none();
}

// ------------------------------------------------------------- stopping

Ref stop_tree_body(const Call& c) {
    PyObject *self = c[0], *tree_id = c[1];
    LiveTree tree = find_live_tree(c, self, tree_id);
    Ref& record = tree.record;
    TreeSidePtr& side = tree.side;
    Ref& cond = tree.cond;
    Ref& command = tree.command;

    if (side->thread_ident == PyThread_get_thread_ident()) {
        // A tree cannot wait for its own thread to end: let join() say so
        // before anything is marked.
        Ref thread = getitem(record.get(), S(c).thread);
        call_method(thread.get(), S(c).join);
    }

    side->stopping = true;
    {
        // Waits for a command in flight to be answered; the marker then
        // never replaces a command that nobody will answer.
        CallerLock serialised(side->caller_lock);
        if (side->withdrawn) fail_missing(c, tree_id);  // its creation failed meanwhile
        HintSettler settle;  // join() below is no native wait
        CondView cv(c.st, cond.get());
        with_cond(cv, [&] {
            slot_set(command.get(), Py_False);
            cv.notify();
        });
    }
    Ref thread = getitem(record.get(), S(c).thread);
    call_method(thread.get(), S(c).join);

    // A concurrent stop of the same tree may have removed it already.
    Ref now = getattr(self, S(c).trees);
    if (withdraw(c, now.get(), tree_id, record.get())) {
        Ref a = str("停止行为树: ");
        log_line(c, S(c).info, join({a.get(), tree_id}).get());
    }
    return none();
}

Ref stop_all_trees_body(const Call& c) {
    PyObject* self = c[0];
    Ref trees = getattr(self, S(c).trees);
    Ref snapshot = PyDict_CheckExact(trees.get()) ? Ref::check(PyDict_Keys(trees.get()))
                                                   : Ref::check(PySequence_List(call_method(trees.get(), S(c).keys).get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i)
        call_method(self, S(c).stop_tree, PyList_GET_ITEM(snapshot.get(), i));
    log_line(c, S(c).info, str("停止所有行为树").get());
    return none();
}

Ref del_body(const Call& c) {
    call_method(c[0], S(c).stop_all_trees);
    return none();
}


// ------------------------------------------------------- method table

constexpr Check A = Check::Any;
constexpr Check Str = Check::Str;

constexpr Param p_self{"self", nullptr, A};
constexpr Param p_tree_id{"tree_id", "str", Str};

constexpr Param prm_init[] = {p_self};
constexpr Param prm_register_action_behavior[] = {
    p_self, {"action_id", "str", Str}, {"tick_functor", "Callable[[TreeNode], NodeStatus]", A},
    {"ports_list", "List[Dict[str, str]]", Check::List}};
constexpr Param prm_register_action_class[] = {
    p_self, {"action_class", "Type[SimpleActionNode]", A}, {"action_id", "Optional[str]", Check::StrOrNone}};
constexpr Param prm_run_tree[] = {p_self, p_tree_id, {"xml_text", "str", Str}};
constexpr Param prm_process_command[] = {p_self, {"engine", "SequentialEngine", A},
                                         {"command", "Dict[str, Any]", Check::Dict}, p_tree_id,
                                         {"result", "List[Any]", Check::List}};
constexpr Param prm_create_tree_from_text[] = {p_self, {"xml_text", "str", Str},
                                               {"tree_id", "Optional[str]", Check::StrOrNone}};
constexpr Param prm_create_tree_from_file[] = {p_self, {"file_path", "str", Str},
                                               {"tree_id", "Optional[str]", Check::StrOrNone}};
constexpr Param prm_tree[] = {p_self, p_tree_id};
constexpr Param prm_send_command[] = {p_self, p_tree_id, {"command_type", "str", Str},
                                      {"params", "Dict[str, Any]", Check::DictOrNone}};
constexpr Param prm_tick_n_times[] = {p_self, p_tree_id, {"n", "int", Check::Int}};
constexpr Param prm_get_blackboard_data[] = {p_self, p_tree_id, {"key", "str", Str}};
constexpr Param prm_set_blackboard_data[] = {p_self, p_tree_id, {"key", "str", Str}, {"value", "Any", A}};

using R = ResultCheck;

#define QN(name) "ThreadEngine." #name
const FunctionDef kMethods[] = {
    {"__init__", QN(__init__), doc_init, prm_init, false, nullptr, R::None, init_body},
    {"register_action_behavior", QN(register_action_behavior), doc_register_action_behavior,
     prm_register_action_behavior, false, "None", R::None, register_action_behavior_body},
    {"register_action_class", QN(register_action_class), doc_register_action_class,
     prm_register_action_class, true, "None", R::None, register_action_class_body},
    {"_run_tree", QN(_run_tree), doc_run_tree, prm_run_tree, false, "None", R::None, run_tree_body},
    {"_process_command", QN(_process_command), doc_process_command, prm_process_command, false, "None",
     R::None, process_command_body},
    {"create_tree_from_text", QN(create_tree_from_text), doc_create_tree_from_text,
     prm_create_tree_from_text, true, "str", R::None, create_tree_from_text_body},
    {"create_tree_from_file", QN(create_tree_from_file), doc_create_tree_from_file,
     prm_create_tree_from_file, true, "str", R::Str, create_tree_from_file_body},
    {"_check_tree_exists", QN(_check_tree_exists), doc_check_tree_exists, prm_tree, false, "None",
     R::None, check_tree_exists_body},
    {"get_tree_ids", QN(get_tree_ids), doc_get_tree_ids, prm_init, false, "List[str]", R::None,
     get_tree_ids_body},
    {"_send_command", QN(_send_command), doc_send_command, prm_send_command, true, "Any", R::None,
     send_command_body},
    {"tick_once", QN(tick_once), doc_tick_once, prm_tree, false, "NodeStatus", R::None, tick_once_body},
    {"tick_until_failure", QN(tick_until_failure), doc_tick_until_failure, prm_tree, false, "int", R::Int,
     tick_until_failure_body},
    {"tick_until_success", QN(tick_until_success), doc_tick_until_success, prm_tree, false, "int", R::Int,
     tick_until_success_body},
    {"tick_n_times", QN(tick_n_times), doc_tick_n_times, prm_tick_n_times, false, "List[NodeStatus]",
     R::List, tick_n_times_body},
    {"get_tree_status", QN(get_tree_status), doc_get_tree_status, prm_tree, false, "Dict[str, Any]",
     R::Dict, get_tree_status_body},
    {"get_blackboard_data", QN(get_blackboard_data), doc_get_blackboard_data, prm_get_blackboard_data,
     false, "Any", R::None, get_blackboard_data_body},
    {"set_blackboard_data", QN(set_blackboard_data), doc_set_blackboard_data, prm_set_blackboard_data,
     false, "None", R::None, set_blackboard_data_body},
    {"get_all_blackboard_data", QN(get_all_blackboard_data), doc_get_all_blackboard_data, prm_tree,
     false, "Dict[str, Any]", R::Dict, get_all_blackboard_data_body},
    {"reset_tree", QN(reset_tree), doc_reset_tree, prm_tree, false, "None", R::None, reset_tree_body},
    {"stop_tree", QN(stop_tree), doc_stop_tree, prm_tree, false, "None", R::None, stop_tree_body},
    {"stop_all_trees", QN(stop_all_trees), doc_stop_all_trees, prm_init, false, "None", R::None,
     stop_all_trees_body},
    {"__del__", QN(__del__), doc_del, prm_init, false, nullptr, R::None, del_body},
};
#undef QN

}  // namespace

std::span<const FunctionDef> engine_methods() { return kMethods; }

void free_sides(ModuleState* st) {
    if (!st->sides) return;
    // Destroyed outside the map: dropping a record may run arbitrary code.
    std::vector<TreeSidePtr> doomed;
    for (auto& [record, side] : *st->sides) doomed.push_back(std::move(side));
    st->sides->clear();
}

}  // namespace mthread
