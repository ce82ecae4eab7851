// The ThreadEngine methods: the action registry, tree creation and lookup,
// the tree operations (each one command of the table in commands.hpp, sent
// and served in exchange.cpp) and stopping.
#include "commands.hpp"

#include <array>
#include <vector>

namespace mthread {

void fail_missing(const Call& c, PyObject* tree_id) {
    fail(c, PyExc_ValueError, message("行为树ID {} 不存在", {tree_id}).get());
}

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
constexpr const char doc_stop_tree[] = "\n        停止行为树线程\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Raises:\n            ValueError: 如果行为树不存在\n        ";
constexpr const char doc_stop_all_trees[] = "\n        停止所有行为树线程\n        ";
constexpr const char doc_del[] = "\n        析构函数，确保所有线程被正确停止\n        ";

// ------------------------------------------------------------- registry

Ref init_body(const Call& c) {
    PyObject* self = c[0];
    Ref factory_class = lookup_global(c.module, names(c).BehaviorTreeFactory);
    Ref factory = call0(factory_class.get());
    require(PyObject_SetAttr(self, names(c).factory, factory.get()));
    Ref trees = Ref::check(PyDict_New());
    require(PyObject_SetAttr(self, names(c).trees, trees.get()));
    Ref regs = Ref::check(PyList_New(0));
    require(PyObject_SetAttr(self, names(c).action_registrations, regs.get()));
    log_line(c, names(c).info, str("初始化线程引擎").get());
    return none();
}

Ref register_action_behavior_body(const Call& c) {
    PyObject *self = c[0], *action_id = c[1], *tick_functor = c[2], *ports_list = c[3];
    log_line(c, names(c).info, message("注册动作节点: {}", {action_id}).get());
    Ref entry = triple(action_id, tick_functor, ports_list);
    Ref regs = getattr(self, names(c).action_registrations);
    if (PyList_CheckExact(regs.get())) {
        require(PyList_Append(regs.get(), entry.get()));
    } else {
        call_method(regs.get(), names(c).append, entry.get());
    }
    return none();
}

Ref register_action_class_body(const Call& c) {
    PyObject *self = c[0], *action_class = c[1];
    Ref action_id = Ref::borrow(c[2]);
    Ref base = lookup_global(c.module, names(c).SimpleActionNode);
    if (!require(PyObject_IsSubclass(action_class, base.get()))) {
        Ref name = getattr(action_class, names(c).__name__);
        Ref text = format_value(name.get(), names(c).empty);
        fail(c, PyExc_TypeError, message("节点类 {} 必须继承自SimpleActionNode", {text.get()}).get());
    }
    if (action_id.get() == Py_None) {
        Ref name = getattr(action_class, names(c).__name__);
        if (name.get() != Py_None && !PyUnicode_CheckExact(name.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(name.get())->tp_name);
            throw_error();
        }
        action_id = std::move(name);
    }
    Ref tick = getattr(action_class, names(c).tick);
    Ref ports = Ref::steal(PyObject_GetAttr(action_class, names(c).ports));
    if (!ports) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        ports = Ref::check(PyList_New(0));
    }
    call_method(self, names(c).register_action_behavior, action_id.get(), tick.get(), ports.get());
    return none();
}

// ------------------------------------------------------ creation, lookup

[[noreturn]] void fail_duplicate(const Call& c, PyObject* tree_id) {
    fail(c, PyExc_ValueError, message("行为树ID {} 已存在", {tree_id}).get());
}

Ref create_tree_from_text_body(const Call& c) {
    PyObject *self = c[0], *xml_text = c[1];
    Ref tree_id = Ref::borrow(c[2]);
    Ref trees = getattr(self, names(c).trees);
    if (tree_id.get() == Py_None) {
        Py_ssize_t n = PyObject_Length(trees.get());
        if (n < 0) throw_error();
        tree_id = Ref::check(PyUnicode_FromFormat("tree_%zd", n));
    }
    if (contains(trees.get(), tree_id.get())) fail_duplicate(c, tree_id.get());

    Ref threading = lookup_global(c.module, names(c).threading);
    Ref condition_class = getattr(threading.get(), names(c).Condition);
    Ref cond = call0(condition_class.get());
    Ref command = Ref::check(PyList_New(1));
    PyList_SET_ITEM(command.get(), 0, Py_NewRef(Py_None));
    Ref result = Ref::check(PyList_New(1));
    PyList_SET_ITEM(result.get(), 0, Py_NewRef(Py_None));
    Ref record = Ref::check(PyDict_New());
    require(PyDict_SetItem(record.get(), names(c).cond, cond.get()));
    require(PyDict_SetItem(record.get(), names(c).command, command.get()));
    require(PyDict_SetItem(record.get(), names(c).result, result.get()));
    require(PyDict_SetItem(record.get(), names(c).thread, Py_None));

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
    TreeSidePtr side = side_for(c.st, record.get(), tree_id.get());
    CallerLock creating(side->caller_lock);

    Ref thread;
    try {
        Ref thread_class = getattr(lookup_global(c.module, names(c).threading).get(), names(c).Thread);
        Ref target = getattr(self, names(c)._run_tree);
        Ref args = Ref::check(PyTuple_Pack(2, tree_id.get(), xml_text));
        Ref kwnames = Ref::check(PyTuple_Pack(2, names(c).target, names(c).args));
        Ref created = call_kw(thread_class.get(), {}, kwnames.get(), {target.get(), args.get()});
        require(PyDict_SetItem(record.get(), names(c).thread, created.get()));
        thread = std::move(created);
        call_method(thread.get(), names(c).start);
    } catch (const PyError&) {
        // start() may raise after launching the thread (an interrupt while
        // it waits for the thread to report in): no thread may serve this
        // record, and the identifier is free again before the caller sees
        // the exception.
        abandon_creation(c, trees.get(), tree_id.get(), record.get(), side, thread.get());
        throw;
    }
    log_line(c, names(c).info, message("创建行为树: {}", {tree_id.get()}).get());
    return tree_id;
}

Ref create_tree_from_file_body(const Call& c) {
    PyObject *self = c[0], *file_path = c[1], *tree_id = c[2];
    Ref open = lookup_global(c.module, names(c).open);
    Ref mode = str("r"), encoding = str("utf-8");
    Ref kwnames = Ref::check(PyTuple_Pack(1, Ref::check(PyUnicode_InternFromString("encoding")).get()));
    Ref file = call_kw(open.get(), {file_path, mode.get()}, kwnames.get(), {encoding.get()});
    Ref xml_text;
    ContextManager opened(file.get(), names(c));
    if (!with_block(opened, [&] { xml_text = call_method(opened.value(), names(c).read); })) return none();
    return call_method(self, names(c).create_tree_from_text, xml_text.get(), tree_id);
}


Ref check_tree_exists_body(const Call& c) {
    PyObject *self = c[0], *tree_id = c[1];
    Ref trees = getattr(self, names(c).trees);
    if (!contains(trees.get(), tree_id)) fail_missing(c, tree_id);
    return none();
}

Ref get_tree_ids_body(const Call& c) {
    Ref trees = getattr(c[0], names(c).trees);
    return keys_list(trees.get(), names(c).keys);
}

// ------------------------------------------------------- tree operations

// Every tree operation: self._send_command(tree_id, <type>) for a command
// without parameters, else self._send_command(tree_id, <type>, {name: arg,
// ...}) in table order (see commands.hpp). Caller thread, holding nothing.
Ref command_method_body(const Call& c) {
    PyObject *self = c[0], *tree_id = c[1];
    const CommandDef& def = *c.func->def->command;
    const CommandNames& strings = command_names(c.st, def);
    std::span<const Param> params = def.params();
    Ref answer;
    if (params.empty()) {
        answer = call_method(self, names(c)._send_command, tree_id, strings.type);
    } else {
        Ref sent = Ref::check(PyDict_New());
        for (std::size_t i = 0; i < params.size(); ++i)
            require(PyDict_SetItem(sent.get(), strings.params[i], c[2 + i]));
        answer = call_method(self, names(c)._send_command, tree_id, strings.type, sent.get());
    }
    return def.answer == Answer::None ? none() : std::move(answer);
}

// ------------------------------------------------------------- stopping

// Signals (Ctrl-C) a stop sits out before it gives up waiting and completes.
constexpr int kMostInterrupts = 100;

// Waits, under the record's condition, until the tree thread has finished
// serving; interrupts are dropped (the caller holds the first one).
void wait_until_ended(const Call& c, const LiveTree& tree) {
    CondView cv(c.st, tree.cond.get());
    for (int attempt = 0; attempt < kMostInterrupts && !tree.side->ended; ++attempt) {
        try {
            with_block(cv, [&] {
                while (!tree.side->ended) cv.wait();
            });
        } catch (const PyError&) {
            PyErr_Clear();
        }
    }
}

// Joins a tree thread whose stop marker is placed. An interrupt arriving
// meanwhile is held back until the thread has ended, so that such a stop
// always completes; the first one is returned, still to be raised.
std::unique_ptr<ErrorStash> join_to_the_end(const Call& c, const LiveTree& tree) {
    Ref thread = getitem(tree.record.get(), names(c).thread);
    if (Ref::steal(PyObject_CallMethodNoArgs(thread.get(), names(c).join))) return nullptr;
    auto interrupted = std::make_unique<ErrorStash>();
    // An interrupted Thread.join() can mark a thread that still runs as
    // stopped, after which join() returns at once: the tree thread's own
    // end is awaited first.
    wait_until_ended(c, tree);
    for (int attempt = 0; attempt < kMostInterrupts; ++attempt) {
        if (Ref::steal(PyObject_CallMethodNoArgs(thread.get(), names(c).join))) break;
        PyErr_Clear();
    }
    return interrupted;
}

// Counts a stop as waiting to place its marker for the scope; new commands
// are refused meanwhile. A stop interrupted before the marker leaves the
// tree serving as before.
class StopWaiting {
public:
    explicit StopWaiting(TreeSide& side) : side_(side) { ++side_.stops_waiting; }
    StopWaiting(const StopWaiting&) = delete;
    StopWaiting& operator=(const StopWaiting&) = delete;
    ~StopWaiting() { --side_.stops_waiting; }

private:
    TreeSide& side_;
};

Ref stop_tree_body(const Call& c) {
    PyObject *self = c[0], *tree_id = c[1];
    LiveTree tree = find_live_tree(c, self, tree_id);
    Ref& record = tree.record;
    TreeSidePtr& side = tree.side;

    std::unique_ptr<ErrorStash> interrupted;
    if (!side->foreign()) {
        // (In a forked child the tree's thread is not there, and its locks
        // may be held by threads that are not there either: nothing to wait for.)
        if (side->thread_ident == PyThread_get_thread_ident()) {
            // A tree cannot wait for its own thread to end: let join() say so
            // before anything is marked.
            Ref thread = getitem(record.get(), names(c).thread);
            call_method(thread.get(), names(c).join);
        }
        WaitingOn waiting(c, side, names(c).stop_tree);
        {
            StopWaiting refusing(*side);
            // Waits for a command in flight to be answered; the marker then
            // never replaces a command that nobody will answer.
            CallerLock serialised(side->caller_lock);
            if (side->withdrawn) fail_missing(c, tree_id);  // its creation failed meanwhile
            place_stop_marker(c, *side, tree.cond.get(), tree.command.get());
        }
        interrupted = join_to_the_end(c, tree);
    }

    // A concurrent stop of the same tree may have removed it already.
    Ref now = getattr(self, names(c).trees);
    if (withdraw(c, now.get(), tree_id, record.get()))
        log_line(c, names(c).info, message("停止行为树: {}", {tree_id}).get());
    if (interrupted) {
        interrupted->restore();
        throw_error();
    }
    return none();
}

Ref stop_all_trees_body(const Call& c) {
    PyObject* self = c[0];
    Ref trees = getattr(self, names(c).trees);
    Ref snapshot = keys_list(trees.get(), names(c).keys);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i)
        call_method(self, names(c).stop_tree, PyList_GET_ITEM(snapshot.get(), i));
    log_line(c, names(c).info, str("停止所有行为树").get());
    return none();
}

Ref del_body(const Call& c) {
    call_method(c[0], names(c).stop_all_trees);
    return none();
}


// ------------------------------------------------------- method table

constexpr Check Any = Check::Any;
constexpr Check Str = Check::Str;

constexpr Param prm_self[] = {p_self};
constexpr Param prm_register_action_behavior[] = {
    p_self, {"action_id", "str", Str}, {"tick_functor", "Callable[[TreeNode], NodeStatus]", Any},
    {"ports_list", "List[Dict[str, str]]", Check::List}};
constexpr Param prm_register_action_class[] = {
    p_self, {"action_class", "Type[SimpleActionNode]", Any}, {"action_id", "Optional[str]", Check::StrOrNone}};
constexpr Param prm_run_tree[] = {p_self, p_tree_id, {"xml_text", "str", Str}};
constexpr Param prm_process_command[] = {p_self, {"engine", "SequentialEngine", Any},
                                         {"command", "Dict[str, Any]", Check::Dict}, p_tree_id,
                                         {"result", "List[Any]", Check::List}};
constexpr Param prm_create_tree_from_text[] = {p_self, {"xml_text", "str", Str},
                                               {"tree_id", "Optional[str]", Check::StrOrNone}};
constexpr Param prm_create_tree_from_file[] = {p_self, {"file_path", "str", Str},
                                               {"tree_id", "Optional[str]", Check::StrOrNone}};
constexpr Param prm_tree[] = {p_self, p_tree_id};
constexpr Param prm_send_command[] = {p_self, p_tree_id, {"command_type", "str", Str},
                                      {"params", "Dict[str, Any]", Check::DictOrNone}};

#define QN(name) "ThreadEngine." #name
// The methods before the tree operations, in class namespace order.
constexpr FunctionDef kLeadingMethods[] = {
    {.name = "__init__", .qualname = QN(__init__), .doc = doc_init, .params = prm_self, .body = init_body},
    {.name = "register_action_behavior", .qualname = QN(register_action_behavior),
     .doc = doc_register_action_behavior, .params = prm_register_action_behavior, .return_annotation = "None",
     .body = register_action_behavior_body},
    {.name = "register_action_class", .qualname = QN(register_action_class), .doc = doc_register_action_class,
     .params = prm_register_action_class, .last_defaults_to_none = true, .return_annotation = "None",
     .body = register_action_class_body},
    {.name = "_run_tree", .qualname = QN(_run_tree), .doc = doc_run_tree, .params = prm_run_tree,
     .return_annotation = "None", .body = run_tree_body},
    {.name = "_process_command", .qualname = QN(_process_command), .doc = doc_process_command,
     .params = prm_process_command, .return_annotation = "None", .body = process_command_body},
    {.name = "create_tree_from_text", .qualname = QN(create_tree_from_text), .doc = doc_create_tree_from_text,
     .params = prm_create_tree_from_text, .last_defaults_to_none = true, .return_annotation = "str",
     .body = create_tree_from_text_body},
    {.name = "create_tree_from_file", .qualname = QN(create_tree_from_file), .doc = doc_create_tree_from_file,
     .params = prm_create_tree_from_file, .last_defaults_to_none = true, .return_annotation = "str",
     .result = ResultCheck::Str, .body = create_tree_from_file_body},
    {.name = "_check_tree_exists", .qualname = QN(_check_tree_exists), .doc = doc_check_tree_exists,
     .params = prm_tree, .return_annotation = "None", .body = check_tree_exists_body},
    {.name = "get_tree_ids", .qualname = QN(get_tree_ids), .doc = doc_get_tree_ids, .params = prm_self,
     .return_annotation = "List[str]", .body = get_tree_ids_body},
    {.name = "_send_command", .qualname = QN(_send_command), .doc = doc_send_command, .params = prm_send_command,
     .last_defaults_to_none = true, .return_annotation = "Any", .body = send_command_body},
};
// The methods after them.
constexpr FunctionDef kTrailingMethods[] = {
    {.name = "stop_tree", .qualname = QN(stop_tree), .doc = doc_stop_tree, .params = prm_tree,
     .return_annotation = "None", .body = stop_tree_body},
    {.name = "stop_all_trees", .qualname = QN(stop_all_trees), .doc = doc_stop_all_trees, .params = prm_self,
     .return_annotation = "None", .body = stop_all_trees_body},
    {.name = "__del__", .qualname = QN(__del__), .doc = doc_del, .params = prm_self, .body = del_body},
};
#undef QN

constexpr FunctionDef command_method(const CommandDef& def) {
    return {.name = def.name, .qualname = def.qualname, .doc = def.doc, .params = def.signature,
            .return_annotation = def.return_annotation, .result = def.result, .body = command_method_body,
            .command = &def};
}

constexpr std::size_t kMethodCount = std::size(kLeadingMethods) + kCommandCount + std::size(kTrailingMethods);

// The class namespace: the leading methods, one per command, the trailing ones.
constexpr std::array<FunctionDef, kMethodCount> kMethods = [] {
    std::array<FunctionDef, kMethodCount> all{};
    std::size_t at = 0;
    for (const FunctionDef& def : kLeadingMethods) all[at++] = def;
    for (const CommandDef& def : kCommands) all[at++] = command_method(def);
    for (const FunctionDef& def : kTrailingMethods) all[at++] = def;
    return all;
}();
static_assert(kMethodCount == 22, "ThreadEngine has twenty-two methods");

}  // namespace

std::span<const FunctionDef> engine_methods() { return kMethods; }

void free_sides(ModuleState* st) {
    if (!st->sides) return;
    // Destroyed outside the map: dropping a record may run arbitrary code.
    std::vector<TreeSidePtr> doomed;
    for (auto& [record, side] : *st->sides) doomed.push_back(std::move(side));
    st->sides->clear();
    if (st->orphans) st->orphans->clear();
}

}  // namespace mthread
