// Interfaces between the translation units of the extension.
//
//   module.cpp    module definition, module state, the exec step (imports,
//                 the class statement, main mode)
//   function.cpp  our function-object type: descriptor, argument binder,
//                 exact-type tests of arguments and results
//   engine.cpp    the ThreadEngine methods: registry, creation, lookup,
//                 tree operations, stopping, and the method table
//   exchange.cpp  both ends of a command: the caller's send, the tree
//                 thread's serve, and the per-tree side state
//   commands.hpp  the command table both ends are driven by
//   cond.cpp      record conditions (generic and native paths)
//   spin.cpp      wake-up hints and the spin before a native wait blocks
//   demo.cpp      what runs only when the module runs as the main program
#pragma once

#include "pyutil.hpp"

#include <atomic>

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>

namespace mthread {

inline constexpr const char* kModuleName = "brannox.engine.trigger.mthread";

// ---------------------------------------------------------------- strings

// Interned strings used on hot paths; created in the exec step, owned by the
// module state. The commands' own strings are interned from their table
// (commands.hpp) into CommandNames.
#define MTHREAD_STRINGS(X)                                                   \
    X(factory) X(trees) X(action_registrations) X(cond) X(command) X(result) \
    X(thread) X(type) X(params) X(get) X(notify)                            \
    X(wait) X(notify_all) X(join) X(append) X(keys) X(read) X(info) X(error) X(start)    \
    X(target) X(args) X(logger) X(threading) X(BehaviorTreeFactory)        \
    X(SequentialEngine) X(SimpleActionNode) X(NodeStatus) X(SUCCESS)        \
    X(Condition) X(Thread) X(open) X(tick) X(ports) X(register_action_behavior) \
    X(create_tree_from_text) X(_run_tree) X(_process_command)               \
    X(_check_tree_exists) X(_send_command) X(stop_tree) X(stop_all_trees)   \
    X(__name__) X(__enter__) X(__exit__) X(halt_tree)

struct Strings {
#define MTHREAD_DECLARE(name) PyObject* name = nullptr;
    MTHREAD_STRINGS(MTHREAD_DECLARE)
#undef MTHREAD_DECLARE
    PyObject* main = nullptr;    // "__main__"
    PyObject* empty = nullptr;   // ""
    PyObject* error_type = nullptr;  // "error", the failed-command result type
};

// The tree operations that are commands, and the most parameters one
// carries; the table itself is in commands.hpp.
inline constexpr std::size_t kCommandCount = 9;
inline constexpr std::size_t kMostCommandParams = 2;

// The interned strings of one command-table entry.
struct CommandNames {
    PyObject* type = nullptr;
    PyObject* core_method = nullptr;
    PyObject* params[kMostCommandParams] = {};  // unused places stay null
};

// ------------------------------------------------------------ side state

// The process generation: bumped in a forked child, whose tree threads stayed
// behind in the parent.
unsigned fork_generation() noexcept;

// A tree's record is a dict {"cond", "command", "result", "thread"}. Its
// two slots are one-element lists, read and written only under "cond":
//   command[0]  None   no command pending
//               dict   a command {"type": <str>, "params": <dict>}
//               False  the stop marker: the tree thread is to end (it stays)
//   result[0]   None   no answer waiting
//               (type, tree_id, value)  the answer to the last command:
//                      `type` is the command's type and `value` its result,
//                      or `type` is "error" and `value` the failure text.
//
// What the engine keeps about one live tree beyond its four-key record: the
// record's shape is fixed for callers, so this lives in the module state.
// Touched only with the interpreter lock held.
struct TreeSide {
    Ref record;                        // keeps the key's address from being reused
    Ref tree_id;                       // str, for messages naming the tree
    PyThread_type_lock caller_lock = nullptr;  // one command in flight per tree
    int stops_waiting = 0;             // stops waiting to place the marker
    bool stop_marked = false;          // the stop marker is in the command slot
    bool ended = false;                // the tree thread will answer nothing more
    bool withdrawn = false;            // creation failed: the record was taken back
    Ref end_reason;                    // str: why commands now fail
    // The answer triple of the last command that failed with an exception,
    // and that exception: the caller who reads this very triple raises its
    // RuntimeError from it. Dropped as soon as a caller reads an answer.
    Ref failed_answer;
    Ref failure_cause;
    unsigned long thread_ident = 0;    // the tree thread, once it runs
    unsigned generation = fork_generation();  // the process that made it
    // What this tree's thread, acting as a caller, waits for now (a command
    // or a stop of another tree); followed to refuse waits that close a cycle.
    std::shared_ptr<TreeSide> waiting_on;

    TreeSide() = default;
    TreeSide(const TreeSide&) = delete;
    TreeSide& operator=(const TreeSide&) = delete;
    ~TreeSide() {
        if (caller_lock) PyThread_free_lock(caller_lock);
    }
    // New commands are refused once a stop has begun.
    bool refusing() const noexcept { return stops_waiting > 0 || stop_marked; }
    // Made in a process this one was forked from: its thread is not here.
    bool foreign() const noexcept { return generation != fork_generation(); }
    // The exception behind `answer` if it is the failed answer kept above,
    // else null; either way nothing is kept afterwards.
    Ref take_cause(PyObject* answer) noexcept {
        Ref cause = failed_answer.get() == answer ? std::move(failure_cause) : Ref();
        failed_answer.reset();
        failure_cause.reset();
        return cause;
    }
};
using TreeSidePtr = std::shared_ptr<TreeSide>;

// --------------------------------------------------------- module state

// The standard library's own objects, captured after the imports, that let a
// record's condition be driven without running Condition's Python code when
// the condition is an unmodified threading.Condition over an RLock.
#define MTHREAD_NATIVE(X)                                                    \
    X(cond_type) X(cond_enter) X(cond_exit) X(cond_wait) X(cond_notify)      \
    X(threading_globals) X(allocate_lock) X(rlock_type) X(rlock_acquire)     \
    X(rlock_release) X(rlock_is_owned) X(rlock_release_save)                 \
    X(rlock_acquire_restore) X(lock_acquire) X(lock_release) X(deque_type)   \
    X(deque_append) X(deque_remove) X(s_lock) X(s_waiters) X(s_allocate_lock)     \
    X(s_is_owned) X(s_release_save) X(s_acquire_restore)

struct Native {
#define MTHREAD_DECLARE(name) PyObject* name = nullptr;
    MTHREAD_NATIVE(MTHREAD_DECLARE)
#undef MTHREAD_DECLARE
};

struct ModuleState {
    PyTypeObject* function_type = nullptr;
    PyObject* builtins = nullptr;  // the builtins dict, fallback of global lookups
    Strings s;
    CommandNames commands[kCommandCount];  // in command-table order
    Native native;  // all null when the standard library looked unusual at import
    // Keyed by record identity; entries hold the record, so addresses stay unique.
    std::unordered_map<PyObject*, TreeSidePtr>* sides = nullptr;
    // Weak references to threads launched by creations that then failed:
    // such a thread ends at once, without serving or logging.
    std::vector<Ref>* orphans = nullptr;
};

ModuleState* module_state(PyObject* module);

// Reads a module-level name at call time: module namespace, then builtins;
// NameError when missing. Returns a new reference.
Ref lookup_global(PyObject* module, PyObject* name);

// ------------------------------------------------------ function objects

// Exact-type test applied to an argument before the body runs.
enum class Check : std::uint8_t { Any, Str, StrOrNone, Dict, DictOrNone, List, Int };
// Exact-type test applied to a result before it is returned.
enum class ResultCheck : std::uint8_t { None, Str, Int, List, Dict };

struct FunctionObject;
struct CommandDef;

// Arguments after binding: one borrowed object per parameter, defaults filled.
struct Call {
    FunctionObject* func;
    PyObject* module;
    ModuleState* st;
    PyObject* const* args;
    PyObject* operator[](std::size_t i) const noexcept { return args[i]; }
};

// The interned names of the module state.
inline const Strings& names(const Call& c) { return c.st->s; }
using Body = Ref (*)(const Call&);

struct Param {
    const char* name;
    const char* annotation;  // null: no annotation
    Check check;
};

struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* doc = nullptr;  // null: no docstring
    std::span<const Param> params;
    bool last_defaults_to_none = false;
    const char* return_annotation = nullptr;  // null: no "return" entry
    ResultCheck result = ResultCheck::None;
    Body body;
    const CommandDef* command = nullptr;  // the command a tree operation sends
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;  // __module__
    PyObject* doc;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* dict;
    PyObject* module;  // the module whose namespace the body reads
    PyObject* param_names;  // tuple of interned parameter names
    const FunctionDef* def;
};

// Creates the function-object type for `module`; new reference.
Ref make_function_type(PyObject* module);
// Creates one function object; new reference.
Ref make_function(PyObject* module, const FunctionDef& def);

// ------------------------------------------------------------ the class

// The twenty-two ThreadEngine methods, in class namespace order.
std::span<const FunctionDef> engine_methods();

// `from <from> import <names...>` with `ns` as globals, binding each name in
// `ns` as soon as it is fetched.
void import_from(PyObject* ns, const char* from, std::initializer_list<const char*> names);

// ------------------------------------------------------------ conditions

// Captures the standard library objects of `Native`; leaves them null (and
// every condition on the generic path) when anything is not as expected.
void init_native(ModuleState* st);
void visit_native(Native& n, visitproc visit, void* arg, int& rc);
void clear_native(Native& n);

// The end of a `with` block over `mgr`: __exit__(None, None, None), or with
// the pending Python error, __exit__(type, value, traceback). Returns true
// when __exit__ swallowed the error (it is then cleared); otherwise the error
// is still set.
bool exit_context(PyObject* mgr, const Strings& s, bool with_error);

// A record's condition, used the way the record protocol uses it: as a
// context manager, with notify() and wait(). An unmodified
// threading.Condition over a C RLock is driven directly (its lock and its
// waiter deque, exactly as Condition's own methods would); anything else
// goes through its Python methods.
class CondView {
public:
    CondView(ModuleState* st, PyObject* cond);
    bool native() const noexcept { return static_cast<bool>(rlock_); }
    void enter();
    // Leaves the block; with a Python error set, returns true when the
    // context manager swallowed it.
    bool exit(bool with_error);
    void notify();
    void notify_all();
    void wait();

private:
    void require_owned(const char* message);

    ModuleState* st_;
    PyObject* cond_;   // borrowed: the caller keeps the record alive
    Ref rlock_;        // set on the native path
    Ref waiters_;
};

// Any other context manager, through __enter__ and __exit__; value() is
// what __enter__ returned (the target of `as`).
class ContextManager {
public:
    ContextManager(PyObject* mgr, const Strings& s) : mgr_(mgr), s_(s) {}
    void enter() { entered_ = call_method(mgr_, s_.__enter__); }
    bool exit(bool with_error) { return exit_context(mgr_, s_, with_error); }
    PyObject* value() const noexcept { return entered_.get(); }

private:
    PyObject* mgr_;  // borrowed: the caller keeps it alive
    const Strings& s_;
    Ref entered_;
};

// `with manager: body()`, for a CondView or a ContextManager. Returns false
// when __exit__ swallowed an exception raised by the body (execution goes on
// after the block).
template <class Manager, class F>
bool with_block(Manager& manager, F&& body) {
    manager.enter();
    try {
        body();
    } catch (const PyError&) {
        if (manager.exit(true)) return false;
        throw;
    }
    manager.exit(false);
    return true;
}

// ------------------------------------------------------ wake-up hints

// The hint counter of a waiter lock (shared with waiters that hash alike).
std::atomic<std::uint32_t>& hint_for(PyObject* waiter);
// Records that this thread released the waiter of `hint` with notify().
void owe_hint(std::atomic<std::uint32_t>& hint);
// Spins briefly, without the interpreter lock, for `mine` to move past
// `seen`, posting any owed hint first; returns with the lock held.
void spin_for_hint(const std::atomic<std::uint32_t>& mine, std::uint32_t seen);
// Whether this thread still owes a hint (debug checks).
bool hint_owed() noexcept;

// Posts the wake-up hint this thread owes a waiter it released with
// notify(). A native wait posts it on its own once the interpreter lock is
// released; a thread that notifies and then does not wait (a stop, a tree
// thread's last answer) calls this, or the waiter spins its whole budget.
void settle_hints();

// Calls settle_hints() when the scope ends, however it ends.
struct HintSettler {
    HintSettler() = default;
    HintSettler(const HintSettler&) = delete;
    HintSettler& operator=(const HintSettler&) = delete;
    ~HintSettler() { settle_hints(); }
};

// Runs the demonstration (main mode only). Throws PyError on failure.
void run_demo(PyObject* module);

// Releases the side state of the module (m_free).
void free_sides(ModuleState* st);

// ------------------------------------------------------------ exchange

// One call of logger.info(text) or logger.error(text), `logger` read now.
void log_line(const Call& c, PyObject* level, PyObject* text);
// Logs the message at error level, then raises `exc_type` with that text,
// from `cause` when one is given (as `raise ... from cause`).
[[noreturn]] void fail(const Call& c, PyObject* exc_type, PyObject* message, PyObject* cause = nullptr);
// "行为树 <id> 执行命令 <type> 失败: <reason>"; new reference.
Ref command_failure(PyObject* tree_id, PyObject* command_type, PyObject* reason);

// The side state of a record, made on first use. Callers look the record up
// in `trees` and call this without running Python code in between.
TreeSidePtr side_for(ModuleState* st, PyObject* record, PyObject* tree_id);
void drop_side(ModuleState* st, PyObject* record);

// Holds a side's caller lock; the wait releases the interpreter lock and
// lets signal handlers (KeyboardInterrupt) interrupt it, as lock.acquire() does.
class CallerLock {
public:
    explicit CallerLock(PyThread_type_lock lock);
    CallerLock(const CallerLock&) = delete;
    CallerLock& operator=(const CallerLock&) = delete;
    ~CallerLock() { PyThread_release_lock(lock_); }

private:
    PyThread_type_lock lock_;
};

// While in scope on a tree thread, records that this thread waits for
// `target`; raises the command failure (logged) instead when that wait would
// close a cycle of trees waiting on each other. A no-op on other threads.
class WaitingOn {
public:
    WaitingOn(const Call& c, const TreeSidePtr& target, PyObject* command_type);
    WaitingOn(const WaitingOn&) = delete;
    WaitingOn& operator=(const WaitingOn&) = delete;
    ~WaitingOn();

private:
    TreeSide* waiter_ = nullptr;
};

// A live tree as a command or a stop finds it: its record (after the
// existence check), its side state, its condition and its command slot.
struct LiveTree {
    Ref record;
    TreeSidePtr side;
    Ref cond;
    Ref command;
};
LiveTree find_live_tree(const Call& c, PyObject* self, PyObject* tree_id);
// The error of an identifier that is not live, as _check_tree_exists gives it.
[[noreturn]] void fail_missing(const Call& c, PyObject* tree_id);

// Places the stop marker in a tree's command slot, under its condition, and
// wakes the tree thread; later commands are refused.
void place_stop_marker(const Call& c, TreeSide& side, PyObject* cond, PyObject* command);

// A creation whose thread start failed: the record is withdrawn, and the
// thread, if one was launched, ends without serving.
void abandon_creation(const Call& c, PyObject* trees, PyObject* tree_id, PyObject* record,
                      const TreeSidePtr& side, PyObject* thread);
// Removes `record` from `trees` if it is still the entry for `tree_id`,
// together with its side state. Returns whether it was removed.
bool withdraw(const Call& c, PyObject* trees, PyObject* tree_id, PyObject* record);

Ref run_tree_body(const Call& c);
Ref process_command_body(const Call& c);
Ref send_command_body(const Call& c);

}  // namespace mthread
