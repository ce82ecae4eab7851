// Both ends of a command, in the order a command travels: the caller's send,
// the tree thread's serve, the processing of the command, and the reply.
//
// Threads. Any number of caller threads; one tree thread per live tree,
// running _run_tree, which alone touches that tree's core engine. A caller
// hands its command over through the tree's record ("cond", "command",
// "result", "thread"): it places the command under the record's condition,
// notifies and waits; the tree thread, holding the condition for the whole
// command, writes the result triple, clears the command slot and notifies.
// What each command is, and which core method serves it, is the command
// table (commands.hpp).
//
// The record's slots and their values are described beside TreeSide
// (mthread.hpp).
//
// The record protocol alone lets a caller wait for ever (its tree thread has
// ended) or take another caller's answer (two callers, one slot, notify()
// waking one waiter). Each live tree therefore also has a TreeSide in the
// module state:
//   - a caller lock that lets one command per tree be in flight, so the only
//     waiters on the condition are the tree thread and at most one caller;
//     stop_tree takes it too, so the stop marker never replaces a command;
//   - the stop state: once a stop has begun, later commands are refused; a
//     stop interrupted before it placed its marker leaves the tree serving;
//   - `ended`: set by the tree thread on every way out (stop, failure, an
//     exception that is not an Exception), under the condition; a waiting
//     caller is answered with an error and later callers are refused;
//   - the tree thread's ident, so a tick function commanding its own tree
//     fails at once instead of waiting on itself, and what that thread waits
//     for as a caller, so that trees commanding each other in a ring fail at
//     once instead of deadlocking;
//   - the exception behind the last failed answer, which the caller reading
//     that answer raises its RuntimeError from;
//   - the process that made it: after fork() the child has the records but
//     not the threads, and must neither wait for them nor take their locks.
// The side state is created with the record and dropped when stop_tree
// removes the record, both without running Python code between the lookup
// in `trees` and the side table, so the two never disagree.
#include "commands.hpp"

#include <memory>

namespace mthread {

namespace {

// The side of the tree whose thread is running this code, if any.
thread_local TreeSide* t_serving = nullptr;

Ref stopping_reason(PyObject* tree_id) { return message("行为树 {} 正在停止或已停止", {tree_id}); }

Ref foreign_reason(PyObject* tree_id) { return message("行为树 {} 的线程不在当前进程中", {tree_id}); }

// The reply, written by the tree thread and read by the caller (below).
Ref reply(PyObject* result, PyObject* type, PyObject* tree_id, PyObject* value);
Ref take_reply(const Call& c, TreeSide& side, PyObject* result, PyObject* got, PyObject* tree_id,
               PyObject* command_type);

}  // namespace

void log_line(const Call& c, PyObject* level, PyObject* text) {
    Ref logger = lookup_global(c.module, names(c).logger);
    call_method(logger.get(), level, text);
}

void fail(const Call& c, PyObject* exc_type, PyObject* message, PyObject* cause) {
    log_line(c, names(c).error, message);
    PyErr_SetObject(exc_type, message);
    if (cause) set_pending_cause(cause);
    throw_error();
}

Ref command_failure(PyObject* tree_id, PyObject* command_type, PyObject* reason) {
    return message("行为树 {} 执行命令 {} 失败: {}", {tree_id, command_type, reason});
}

// ---------------------------------------------------------- side state

TreeSidePtr side_for(ModuleState* st, PyObject* record, PyObject* tree_id) {
    auto it = st->sides->find(record);
    TreeSidePtr side;
    if (it != st->sides->end()) {
        side = it->second;
    } else {
        side = std::make_shared<TreeSide>();
        side->caller_lock = PyThread_allocate_lock();
        if (!side->caller_lock) {
            PyErr_NoMemory();
            throw_error();
        }
        side->record = Ref::borrow(record);
        st->sides->emplace(record, side);
    }
    if (!side->tree_id) side->tree_id = Ref::borrow(tree_id);
    return side;
}

void drop_side(ModuleState* st, PyObject* record) {
    auto it = st->sides->find(record);
    if (it == st->sides->end()) return;
    TreeSidePtr keep = std::move(it->second);  // destroyed after the erase
    st->sides->erase(it);
}

CallerLock::CallerLock(PyThread_type_lock lock) : lock_(lock) {
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

// A wait edge is added only after checking that it closes no cycle, with the
// interpreter lock held throughout, so the chain from any side is a path and
// the walk ends; the bound only guards against a broken invariant.
WaitingOn::WaitingOn(const Call& c, const TreeSidePtr& target, PyObject* command_type) {
    TreeSide* me = t_serving;
    if (!me) return;
    Ref path = Ref::check(PyList_New(0));
    require(PyList_Append(path.get(), me->tree_id.get()));
    std::size_t hops = 0, most = c.st->sides->size() + 1;
    for (TreeSide* cur = target.get(); cur && hops <= most; cur = cur->waiting_on.get(), ++hops) {
        require(PyList_Append(path.get(), cur->tree_id.get()));
        if (cur != me) continue;
        Ref arrow = str(" → ");
        Ref ring = Ref::check(PyUnicode_Join(arrow.get(), path.get()));
        Ref reason = message("行为树之间的命令形成循环等待: {}", {ring.get()});
        fail(c, PyExc_RuntimeError, command_failure(target->tree_id.get(), command_type, reason.get()).get());
    }
    me->waiting_on = target;
    waiter_ = me;
}

WaitingOn::~WaitingOn() {
    // Dropping the edge may drop the last reference to a removed tree's side.
    if (waiter_ && !lock_lost_at_exit()) waiter_->waiting_on.reset();
}

// ------------------------------------------------------------- 1. send

// Caller thread, holding nothing: the existence check, then the record and
// its side state, looked up with no Python code run in between.
LiveTree find_live_tree(const Call& c, PyObject* self, PyObject* tree_id) {
    call_method(self, names(c)._check_tree_exists, tree_id);
    Ref trees = getattr(self, names(c).trees);
    LiveTree t;
    t.record = getitem(trees.get(), tree_id);
    t.side = side_for(c.st, t.record.get(), tree_id);  // no Python code since the lookup
    t.cond = getitem(t.record.get(), names(c).cond);
    t.command = getitem(t.record.get(), names(c).command);
    return t;
}

// Caller thread (any thread but the tree's own). Takes the tree's caller
// lock, then holds the record's condition while it places the command and
// waits for the reply (the wait releases it).
Ref send_command_body(const Call& c) {
    PyObject *self = c[0], *tree_id = c[1], *command_type = c[2], *params = c[3];
    LiveTree tree = find_live_tree(c, self, tree_id);
    TreeSidePtr& side = tree.side;
    Ref& cond = tree.cond;
    Ref& command = tree.command;
    Ref result = getitem(tree.record.get(), names(c).result);

    Ref cmd = Ref::check(PyDict_New());
    require(PyDict_SetItem(cmd.get(), names(c).type, command_type));
    if (params != Py_None && PyDict_GET_SIZE(params) > 0) {
        require(PyDict_SetItem(cmd.get(), names(c).params, params));
    } else {
        require(PyDict_SetItem(cmd.get(), names(c).params, Ref::check(PyDict_New()).get()));
    }

    if (side->foreign())
        fail(c, PyExc_RuntimeError, command_failure(tree_id, command_type, foreign_reason(tree_id).get()).get());
    if (side->thread_ident == PyThread_get_thread_ident()) {
        Ref reason = str("不能在行为树自己的线程中向它发送命令");
        fail(c, PyExc_RuntimeError, command_failure(tree_id, command_type, reason.get()).get());
    }

    WaitingOn waiting(c, side, command_type);
    CallerLock serialised(side->caller_lock);
    if (side->withdrawn) fail_missing(c, tree_id);  // its creation failed meanwhile
    Ref answer;
    CondView cv(c.st, cond.get());
    with_block(cv, [&] {
        if (side->refusing() || side->ended) {
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
                cleanup_keeping_error([&] {
                    if (slot_get(command.get()).get() == cmd.get()) {
                        slot_set(command.get(), Py_None);
                    } else if (slot_get(result.get()).get() != Py_None) {
                        slot_set(result.get(), Py_None);
                    }
                    side->take_cause(nullptr);
                });
                throw;
            }
            got = slot_get(result.get());
        }
        answer = take_reply(c, *side, result.get(), got.get(), tree_id, command_type);
    });
    assert(!hint_owed() && "a command ended owing a wake-up hint");
    return answer ? std::move(answer) : none();
}

// ------------------------------------------------------------ 2. serve

namespace {

// Marks a side ended, under the record's condition, and answers a command
// still waiting for a result so that its caller is not stranded. Any pending
// exception is kept.
// Tree thread on its way out, holding nothing; takes the record's condition.
void finish_tree(const Call& c, TreeSide& side, PyObject* tree_id, PyObject* reason) {
    // Thread idents are reused once a thread has ended.
    side.thread_ident = 0;
    if (side.ended) return;
    HintSettler settle;  // this thread answers nothing more
    ErrorStash stash;
    try {
        PyObject* record = side.record.get();
        Ref cond = getitem(record, names(c).cond);
        Ref command = getitem(record, names(c).command);
        Ref result = getitem(record, names(c).result);
        CondView cv(c.st, cond.get());
        with_block(cv, [&] {
            if (side.ended) return;
            side.ended = true;
            side.end_reason = Ref::borrow(reason);
            Ref pending = slot_get(command.get());
            Ref answered = slot_get(result.get());
            if (pending.get() != Py_None && pending.get() != Py_False && answered.get() == Py_None)
                reply(result.get(), names(c).error_type, tree_id, reason);
            // The caller of that command, and a stop waiting for the end.
            cv.notify_all();
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

// The tree thread's way out, whichever it takes: the side it serves (once
// known) is finished with the reason given along the way, by default that
// the tree was stopped.
class TreeEnd {
public:
    TreeEnd(const Call& c, PyObject* tree_id) : c_(c), tree_id_(tree_id) {}
    TreeEnd(const TreeEnd&) = delete;
    TreeEnd& operator=(const TreeEnd&) = delete;
    ~TreeEnd() {
        t_serving = nullptr;
        // A daemon thread unwound at interpreter exit touches nothing.
        if (!side_ || lock_lost_at_exit()) return;
        try {
            Ref reason = reason_ ? std::move(reason_) : stopping_reason(tree_id_);
            finish_tree(c_, *side_, tree_id_, reason.get());
        } catch (const PyError&) {
            side_->ended = true;
            PyErr_WriteUnraisable(nullptr);
        }
        assert(!hint_owed() && "a tree thread ended owing a wake-up hint");
    }

    void serve_side(TreeSidePtr side) {
        side_ = std::move(side);
        side_->thread_ident = PyThread_get_thread_ident();
        t_serving = side_.get();
    }
    const TreeSidePtr& side() const noexcept { return side_; }
    void set_reason(Ref reason) { reason_ = std::move(reason); }

private:
    const Call& c_;
    PyObject* tree_id_;
    TreeSidePtr side_;
    Ref reason_;
};

// The thread running this code, from the standard threading module (the
// module's own `threading` name may be replaced).
Ref current_thread_object() {
    Ref threading = Ref::check(PyImport_ImportModule("threading"));
    Ref current = Ref::check(PyObject_GetAttrString(threading.get(), "current_thread"));
    return call0(current.get());
}

PyObject* weak_target(PyObject* weakref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(weakref, &obj) < 0) PyErr_Clear();
    Py_XDECREF(obj);  // only compared by address while the referent lives
    return obj ? obj : Py_None;
#else
    return PyWeakref_GetObject(weakref);
#endif
}

// Whether `thread` was launched by a creation that then failed; forgets it.
bool take_orphan(ModuleState* st, PyObject* thread) {
    auto& orphans = *st->orphans;
    for (auto it = orphans.begin(); it != orphans.end(); ++it) {
        if (weak_target(it->get()) == thread) {
            orphans.erase(it);
            return true;
        }
    }
    return false;
}

// This thread's claim on the record of `tree_id`.
struct Claim {
    Ref record;        // null: no entry
    TreeSidePtr side;  // set with `record`
    bool orphan = false;
};

// The entry of `tree_id` is this thread's unless its "thread" is another
// thread (a re-creation after this thread's creation failed) or it was
// withdrawn; with no entry, this thread may be one whose failed creation
// withdrew it already. No Python code runs between the lookups and side_for.
// Tree thread, holding nothing.
Claim claim_record(const Call& c, PyObject* self, PyObject* tree_id, PyObject* me) {
    Ref trees = getattr(self, names(c).trees);
    Claim claim;
    claim.record = find_item(trees.get(), tree_id);
    if (!claim.record) {
        claim.orphan = take_orphan(c.st, me);
        return claim;
    }
    Ref thread = find_item(claim.record.get(), names(c).thread);
    if (thread && thread.get() != Py_None && thread.get() != me) {
        claim.orphan = true;
        return claim;
    }
    claim.side = side_for(c.st, claim.record.get(), tree_id);
    claim.orphan = claim.side->withdrawn;
    return claim;
}

// At a stop, lets the core halt what is still running, when the core's class
// has the hook. Its failures are the core's to report; they never keep the
// stop from completing.
// Tree thread, after its last command, holding nothing.
void halt_core(const Call& c, PyObject* engine) {
    PyObject* core_class = reinterpret_cast<PyObject*>(Py_TYPE(engine));
    Ref hook = Ref::steal(PyObject_GetAttr(core_class, names(c).halt_tree));
    if (!hook) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            PyErr_WriteUnraisable(core_class);
        }
        return;
    }
    Ref done = Ref::steal(PyObject_CallOneArg(hook.get(), engine));
    if (!done) PyErr_WriteUnraisable(hook.get());
}

}  // namespace

// The stop marker's writer; serve() below is its reader. Run by a stopping
// caller (holding the tree's caller lock) or by a failed creation's clean-up
// (holding nothing); takes the record's condition.
void place_stop_marker(const Call& c, TreeSide& side, PyObject* cond, PyObject* command) {
    HintSettler settle;  // no native wait follows the notify
    CondView cv(c.st, cond);
    with_block(cv, [&] {
        slot_set(command, Py_False);
        side.stop_marked = true;
        cv.notify();
    });
}

namespace {

// Serves commands until the stop marker; returns normally on a stop.
// Tree thread, holding the record's condition from the moment it finds a
// command until the reply is written (the wait for one releases it).
void serve(const Call& c, PyObject* engine, PyObject* record, PyObject* tree_id) {
    PyObject* self = c[0];
    Ref cond = getitem(record, names(c).cond);
    Ref command = getitem(record, names(c).command);
    Ref result = getitem(record, names(c).result);
    for (;;) {
        bool stop = false;
        CondView cv(c.st, cond.get());
        with_block(cv, [&] {
            Ref cmd = slot_get(command.get());
            while (cmd.get() == Py_None) {
                cv.wait();
                cmd = slot_get(command.get());
            }
            if (cmd.get() == Py_False) {
                stop = true;
                return;
            }
            call_method(self, names(c)._process_command, engine, cmd.get(), tree_id, result.get());
            slot_set(command.get(), Py_None);
            cv.notify();
        });
        if (stop) {
            halt_core(c, engine);
            return;
        }
    }
}

// A set-up failure is written to the record, so that a caller already
// waiting is answered, and the tree is ended with that reason.
// Tree thread, holding nothing; takes the record's condition.
void answer_setup_failure(const Call& c, TreeSide* side, PyObject* record, PyObject* tree_id,
                          PyObject* message) {
    HintSettler settle;  // this thread ends after answering
    Ref cond = getitem(record, names(c).cond);
    CondView cv(c.st, cond.get());
    with_block(cv, [&] {
        Ref result = getitem(record, names(c).result);
        reply(result.get(), names(c).error_type, tree_id, message);
        if (side) {
            side->ended = true;
            side->end_reason = Ref::borrow(message);
        }
        cv.notify_all();
    });
}

}  // namespace

// The tree thread's body: sets up the core engine, then serves. Tree
// thread, holding nothing (serve() takes the record's condition).
Ref run_tree_body(const Call& c) {
    PyObject *self = c[0], *tree_id = c[1], *xml_text = c[2];
    TreeEnd end(c, tree_id);
    Ref me = current_thread_object();

    // Known from the start, so that a command sent to this tree from this
    // very thread (a tick function commanding its own tree) fails at once.
    Claim first = claim_record(c, self, tree_id, me.get());
    if (first.orphan) return none();
    if (first.side) end.serve_side(first.side);

    Ref record;
    try {
        Ref engine_class = lookup_global(c.module, names(c).SequentialEngine);
        Ref engine = call0(engine_class.get());
        Ref regs = getattr(self, names(c).action_registrations);
        Ref it = Ref::check(PyObject_GetIter(regs.get()));
        while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
            Ref parts[3];
            unpack3(entry.get(), parts);
            call_method(engine.get(), names(c).register_action_behavior, parts[0].get(), parts[1].get(),
                        parts[2].get());
        }
        if (PyErr_Occurred()) throw_error();
        call_method(engine.get(), names(c).create_tree_from_text, xml_text);

        Claim now = claim_record(c, self, tree_id, me.get());
        if (now.orphan || (first.side && first.side->withdrawn)) return none();
        if (!now.record) {
            Ref trees = getattr(self, names(c).trees);
            now.record = getitem(trees.get(), tree_id);  // raises the KeyError
        }
        record = std::move(now.record);
        end.serve_side(now.side ? std::move(now.side) : side_for(c.st, record.get(), tree_id));
        serve(c, engine.get(), record.get(), tree_id);
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            end.set_reason(message("行为树线程 {} 意外结束: {}", {tree_id, describe_pending_exception().get()}));
            throw;
        }
        // A thread whose creation failed reports nothing, not even its set-up.
        {
            ErrorStash failure;
            Claim now = claim_record(c, self, tree_id, me.get());
            if (now.orphan || (first.side && first.side->withdrawn)) return none();
            failure.restore();
        }
        Ref text = take_exception_text();
        Ref failure = message("行为树线程 {} 发生错误: {}", {tree_id, text.get()});
        end.set_reason(Ref::borrow(failure.get()));
        log_line(c, names(c).error, failure.get());
        if (!record) {
            // A set-up failure: the record is taken now.
            Ref trees = getattr(self, names(c).trees);
            record = find_item(trees.get(), tree_id);
            if (record) end.serve_side(side_for(c.st, record.get(), tree_id));
        }
        if (record) answer_setup_failure(c, end.side().get(), record.get(), tree_id, failure.get());
    }
    return none();
}

// ---------------------------------------------------------- 3. process

namespace {

// params.get(key, default): an ordinary method call unless params is a dict.
Ref param(const Call& c, PyObject* params, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(params)) {
        PyObject* v = dict_find(params, key);
        return Ref::borrow(v ? v : dflt);
    }
    return call_method(params, names(c).get, key, dflt);
}

// The command-table entry whose type equals `command_type`, or null; the
// entries are compared in table order, as `==` would (it may run Python code).
const CommandDef* find_command(const Call& c, PyObject* command_type) {
    for (const CommandDef& def : kCommands) {
        if (require(PyObject_RichCompareBool(command_type, command_names(c.st, def).type, Py_EQ))) return &def;
    }
    return nullptr;
}

// Tree thread, holding the record's condition: calls the core method of
// `def` with the command's parameters, read from `params` in table order.
Ref run_command(const Call& c, const CommandDef& def, PyObject* engine, PyObject* params) {
    const CommandNames& strings = command_names(c.st, def);
    const std::size_t count = def.params().size();
    Ref values[kMostCommandParams];
    PyObject* argv[1 + kMostCommandParams] = {engine};
    for (std::size_t i = 0; i < count; ++i) {
        Ref absent = def.absent[i] == Absent::One ? Ref::check(PyLong_FromLong(1)) : none();
        values[i] = param(c, params, strings.params[i], absent.get());
        argv[1 + i] = values[i].get();
    }
    Ref value = Ref::check(PyObject_VectorcallMethod(strings.core_method, argv, 1 + count, nullptr));
    return def.answer == Answer::None ? none() : std::move(value);
}

// What a failed command's caller raises from: the exception the core call
// raised, or, when that is the core's TickError reporting an exception of a
// tick function ("raise ... from exc"), the tick function's own exception,
// whose traceback reaches the user's line. Returns a new reference.
Ref tick_function_exception(PyObject* exc) {
    ErrorStash keep;  // a failed look-up changes nothing
    Ref core = Ref::steal(PyImport_GetModule(str("brannox.core").get()));
    Ref tick_error = core ? Ref::steal(PyObject_GetAttrString(core.get(), "TickError")) : Ref();
    Ref cause = Ref::steal(PyException_GetCause(exc));
    bool wrapped = tick_error && PyType_Check(tick_error.get()) && cause &&
                   PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(tick_error.get()));
    PyErr_Clear();
    keep.restore();
    return wrapped ? std::move(cause) : Ref::borrow(exc);
}

}  // namespace

// Tree thread (from serve(), holding the record's condition), or anyone who
// calls _process_command: runs one command and writes its reply to `result`.
Ref process_command_body(const Call& c) {
    PyObject *engine = c[1], *command = c[2], *tree_id = c[3], *result = c[4];
    PyObject* found = dict_find(command, names(c).type);
    Ref command_type = Ref::borrow(found ? found : Py_None);
    Ref params = Ref::borrow(dict_find(command, names(c).params));
    if (!params) params = Ref::check(PyDict_New());
    try {
        if (const CommandDef* def = find_command(c, command_type.get())) {
            Ref value = run_command(c, *def, engine, params.get());
            reply(result, command_names(c.st, *def).type, tree_id, value.get());
        } else {
            Ref shown = format_value(command_type.get(), names(c).empty);
            Ref failure = message("未知命令类型: {}", {shown.get()});
            log_line(c, names(c).error, failure.get());
            reply(result, names(c).error_type, tree_id, failure.get());
        }
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        Ref exc = take_exception();
        Ref text = Ref::check(PyObject_Str(exc ? exc.get() : Py_None));
        Ref shown = format_value(command_type.get(), names(c).empty);
        Ref failure = message("处理命令 {} 时发生错误: {}", {shown.get(), text.get()});
        log_line(c, names(c).error, failure.get());
        Ref answer = reply(result, names(c).error_type, tree_id, failure.get());
        // Kept beside the triple for the caller, which reads it on its own thread.
        if (t_serving && exc) {
            t_serving->failure_cause = tick_function_exception(exc.get());
            t_serving->failed_answer = std::move(answer);
        }
    }
    return none();
}

// ------------------------------------------------------------ 4. reply

namespace {

// Writes the answer triple (type, tree_id, value) to the result slot; returns
// it. Tree thread (or a stranded caller's answer on the way out), holding
// the record's condition.
Ref reply(PyObject* result, PyObject* type, PyObject* tree_id, PyObject* value) {
    Ref answer = triple(type, tree_id, value);
    slot_set(result, answer.get());
    return answer;
}

// Takes the reply `got` out of the result slot: its value, or the command
// failure raised from the exception kept beside it. Caller thread, holding
// the tree's caller lock and the record's condition.
Ref take_reply(const Call& c, TreeSide& side, PyObject* result, PyObject* got, PyObject* tree_id,
               PyObject* command_type) {
    Ref cause = side.take_cause(got);
    Ref parts[3];
    unpack3(got, parts);
    slot_set(result, Py_None);
    if (require(PyObject_RichCompareBool(parts[0].get(), names(c).error_type, Py_EQ))) {
        Ref reason = format_value(parts[2].get(), names(c).empty);
        fail(c, PyExc_RuntimeError, command_failure(tree_id, command_type, reason.get()).get(), cause.get());
    }
    return std::move(parts[2]);
}

}  // namespace

// ------------------------------------------------- withdrawing a record

// A stop once the tree thread has ended (holding nothing), or a failed
// creation (holding the tree's caller lock); runs no Python code between
// the lookup and the removal of the side state.
bool withdraw(const Call& c, PyObject* trees, PyObject* tree_id, PyObject* record) {
    Ref current = find_item(trees, tree_id);
    if (current.get() != record) return false;
    delitem(trees, tree_id);
    drop_side(c.st, record);
    return true;
}

// The creating thread, holding the new tree's caller lock.
void abandon_creation(const Call& c, PyObject* trees, PyObject* tree_id, PyObject* record,
                      const TreeSidePtr& side, PyObject* thread) {
    cleanup_keeping_error([&] {
        // The three steps run no Python code, so the launched thread sees
        // either its record or the mark that it was abandoned.
        side->withdrawn = true;
        if (thread) {
            auto& orphans = *c.st->orphans;
            std::erase_if(orphans, [](const Ref& w) { return weak_target(w.get()) == Py_None; });
            Ref weak = Ref::steal(PyWeakref_NewRef(thread, nullptr));
            if (weak) orphans.push_back(std::move(weak));
            PyErr_Clear();  // a thread that cannot be weakly referenced still finds the side withdrawn
        }
        withdraw(c, trees, tree_id, record);
        if (!thread) return;
        // A thread already past its checks ends at the stop marker instead.
        Ref cond = getitem(record, names(c).cond);
        Ref command = getitem(record, names(c).command);
        place_stop_marker(c, *side, cond.get(), command.get());
    });
}

}  // namespace mthread
