// Main mode: the two agent action nodes and the demonstration run.
//
// Everything here runs only when the module body runs as the main program,
// inside the import, on the importing thread; the tick functions run later
// on tree threads. Each name the run assigns is bound in the module
// namespace, as a module body written in Python would do.
#include "mthread.hpp"

#include <vector>

namespace mthread {
namespace {

constexpr const char kCreateAgentDoc[] =
    "\n"
    "        创建Agent节点\n"
    "        \n"
    "        该节点用于根据指定的模型供应商、模型ID和描述创建一个新的Agent实例。\n"
    "        支持Ollama模型供应商，未来可扩展支持其他供应商。\n"
    "        \n"
    "        输入端口:\n"
    "            - model_provider: 模型供应商名称 (可选值: ollama, deepseek, openai, anthropic, gemini)\n"
    "            - model_id: 模型ID\n"
    "            - description: Agent的描述信息\n"
    "            \n"
    "        输出端口:\n"
    "            - agent: 创建的Agent实例\n"
    "        ";

// The tree both demonstration trees are built from; whitespace kept as is.
constexpr const char kXmlText[] =
"\n"
"    <root BTCPP_format=\"4\">\n"
"        <BehaviorTree ID=\"MainTree\">\n"
"            <Sequence name=\"root_sequence\">\n"
"                <CreateAgentOllama model_id=\"qwen3:30b\" agent=\"{agent}\" description=\"You are an enthusiastic news reporter with a flair for storytelling!\"/>\n"
"                    <KeepRunningUntilFailure>  \n"
"                        <Sequence>\n"
"                            <GetStreamResponse \n"
"                            \tagent=\"{agent}\" \n"
"                            \tinstructions=\"{instructions}\" \n"
"                            \tuser_input=\"{user_input}\" \n"
"                            \tresponse_stream=\"{response_stream}\"/>     \n"
"                        </Sequence>\n"
"                    </KeepRunningUntilFailure>\n"
"            </Sequence>\n"
"        </BehaviorTree>\n"
"    </root>\n"
"    ";

Ref success(const Call& c) {
    Ref status = lookup_global(c.module, c.st->s.NodeStatus);
    return getattr(status.get(), c.st->s.SUCCESS);
}

// Calls callable(**{names[i]: values[i]}); no positional arguments.
Ref call_keywords(PyObject* callable, std::initializer_list<const char*> names,
                  std::initializer_list<PyObject*> values) {
    Ref kwnames = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* s = PyUnicode_InternFromString(n);
        if (!s) throw_error();
        PyTuple_SET_ITEM(kwnames.get(), i++, s);
    }
    return call_kw(callable, {}, kwnames.get(), values);
}

// CreateAgentOllama.tick(node): builds an agent on an Ollama model and puts
// it on the blackboard. Catches nothing: failures reach the core.
Ref create_agent_tick(const Call& c) {
    PyObject* node = c[0];
    Ref model_id = call_method(node, str("getInputString").get(), str("model_id").get());
    Ref description = call_method(node, str("getInputString").get(), str("description").get());
    Ref agent_class = lookup_global(c.module, str("Agent").get());
    Ref ollama_class = lookup_global(c.module, str("Ollama").get());
    Ref model = call_keywords(ollama_class.get(), {"id"}, {model_id.get()});
    Ref agent = call_keywords(agent_class.get(), {"model", "description", "markdown"},
                              {model.get(), description.get(), Py_True});
    call_method(node, str("setOutput").get(), str("agent").get(), agent.get());
    return success(c);
}

// GetStreamResponse.tick(node): starts a streamed answer and puts the
// unconsumed stream on the blackboard.
Ref stream_response_tick(const Call& c) {
    PyObject* node = c[0];
    Ref agent = call_method(node, str("getInputObject").get(), str("agent").get());
    Ref instructions = call_method(node, str("getInputObject").get(), str("instructions").get());
    Ref user_input = call_method(node, str("getInputString").get(), str("user_input").get());
    Ref run = getattr(agent.get(), str("run").get());
    Ref kwnames = Ref::check(PyTuple_Pack(1, str("stream").get()));
    PyObject* argv[] = {user_input.get(), Py_True};
    Ref stream = Ref::check(PyObject_Vectorcall(run.get(), argv, 1, kwnames.get()));
    call_method(node, str("setOutput").get(), str("response_stream").get(), stream.get());
    return success(c);
}

constexpr Param kTickParams[] = {{"node", "TreeNode", Check::Any}};
const FunctionDef kCreateAgentTick = {"tick", "CreateAgentOllama.tick", nullptr, kTickParams, false,
                                   nullptr, ResultCheck::None, create_agent_tick};
const FunctionDef kStreamResponseTick = {"tick", "GetStreamResponse.tick", nullptr, kTickParams, false,
                                      nullptr, ResultCheck::None, stream_response_tick};

Ref port(const char* name, const char* type, const char* direction) {
    Ref d = Ref::check(PyDict_New());
    require(PyDict_SetItemString(d.get(), "name", str(name).get()));
    require(PyDict_SetItemString(d.get(), "type", str(type).get()));
    require(PyDict_SetItemString(d.get(), "direction", str(direction).get()));
    require(PyDict_SetItemString(d.get(), "description", str("").get()));
    return d;
}

// A class statement `class <name>(SimpleActionNode): [doc] ports = ...; tick = staticmethod(...)`,
// made through the base's metaclass as the interpreter would.
Ref define_node_class(PyObject* module, const char* name, const char* doc,
                      std::initializer_list<Ref*> ports, const FunctionDef& tick) {
    PyObject* ns_module = PyModule_GetDict(module);
    Ref base = lookup_global(module, module_state(module)->s.SimpleActionNode);
    Ref bases = Ref::check(PyTuple_Pack(1, base.get()));
    PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
    Ref cls_name = str(name);
    Ref ns = call_method(meta, str("__prepare__").get(), cls_name.get(), bases.get());
    require(PyObject_SetItem(ns.get(), str("__module__").get(), str(kModuleName).get()));
    require(PyObject_SetItem(ns.get(), str("__qualname__").get(), cls_name.get()));
    if (doc) require(PyObject_SetItem(ns.get(), str("__doc__").get(), str(doc).get()));
    Ref port_list = Ref::check(PyList_New(0));
    for (Ref* p : ports) require(PyList_Append(port_list.get(), p->get()));
    require(PyObject_SetItem(ns.get(), str("ports").get(), port_list.get()));
    Ref func = make_function(module, tick);
    Ref static_tick = Ref::check(PyStaticMethod_New(func.get()));
    require(PyObject_SetItem(ns.get(), str("tick").get(), static_tick.get()));
    Ref cls = call(meta, cls_name.get(), bases.get(), ns.get());
    require(PyDict_SetItem(ns_module, cls_name.get(), cls.get()));
    return cls;
}

// One request: write the user input, tick once, print the streamed answer.
void ask(PyObject* module, PyObject* engine, PyObject* tree_id, const char* user_input) {
    const Strings& s = module_state(module)->s;
    Ref set_blackboard_data = str("set_blackboard_data"), tick_once = str("tick_once"),
        get_blackboard_data = str("get_blackboard_data");
    call_method(engine, set_blackboard_data.get(), tree_id, str("user_input").get(), str(user_input).get());
    Ref status = call_method(engine, tick_once.get(), tree_id);
    bind(PyModule_GetDict(module), "status", status.get());
    Ref stream = call_method(engine, get_blackboard_data.get(), tree_id, str("response_stream").get());
    bind(PyModule_GetDict(module), "response_stream", stream.get());
    Ref print = lookup_global(module, str("print").get());
    Ref end_kw = Ref::check(PyTuple_Pack(1, str("end").get()));
    Ref it = Ref::check(PyObject_GetIter(stream.get()));
    while (Ref response = Ref::steal(PyIter_Next(it.get()))) {
        bind(PyModule_GetDict(module), "response", response.get());
        Ref content = getattr(response.get(), str("content").get());
        PyObject* argv[] = {content.get(), s.empty};
        Ref::check(PyObject_Vectorcall(print.get(), argv, 1, end_kw.get()));
    }
    if (PyErr_Occurred()) throw_error();
    call0(print.get());
}

}  // namespace

void run_demo(PyObject* module) {
    const Strings& s = module_state(module)->s;
    PyObject* ns = PyModule_GetDict(module);
    import_from(ns, "agno.models.ollama", {"Ollama"});
    import_from(ns, "agno.agent", {"Agent", "RunResponse"});
    import_from(ns, "typing", {"Iterator"});

    Ref p_model_id = port("model_id", "string", "input");
    Ref p_description = port("description", "string", "input");
    Ref p_agent_out = port("agent", "object", "output");
    define_node_class(module, "CreateAgentOllama", kCreateAgentDoc, {&p_model_id, &p_description, &p_agent_out},
                      kCreateAgentTick);
    Ref p_agent_in = port("agent", "object", "input");
    Ref p_instructions = port("instructions", "object", "input");
    Ref p_stream = port("response_stream", "object", "output");
    Ref p_user_input = port("user_input", "string", "input");
    define_node_class(module, "GetStreamResponse", nullptr,
                      {&p_agent_in, &p_instructions, &p_stream, &p_user_input}, kStreamResponseTick);

    Ref engine_class = lookup_global(module, str("ThreadEngine").get());
    Ref engine = call0(engine_class.get());
    bind(PyModule_GetDict(module), "engine", engine.get());
    try {
        Ref create_cls = lookup_global(module, str("CreateAgentOllama").get());
        Ref stream_cls = lookup_global(module, str("GetStreamResponse").get());
        Ref register_class = str("register_action_class");
        call_method(engine.get(), register_class.get(), create_cls.get(), str("CreateAgentOllama").get());
        call_method(engine.get(), register_class.get(), stream_cls.get(), str("GetStreamResponse").get());
        Ref xml = str(kXmlText);
        bind(PyModule_GetDict(module), "xml_text", xml.get());
        Ref tree0 = call_method(engine.get(), s.create_tree_from_text, xml.get(), str("tree0").get());
        bind(PyModule_GetDict(module), "tree_id0", tree0.get());
        Ref tree1 = call_method(engine.get(), s.create_tree_from_text, xml.get(), str("tree1").get());
        bind(PyModule_GetDict(module), "tree_id1", tree1.get());
        ask(module, engine.get(), tree0.get(), "中国上海的新闻");
        ask(module, engine.get(), tree1.get(), "中国北京的新闻");
        call_method(engine.get(), s.stop_all_trees);
    } catch (const PyError&) {
        // Tree threads are not daemons when the importing thread is not: left
        // running they would keep the process alive after the failure.
        cleanup_keeping_error([&] { call_method(engine.get(), s.stop_all_trees); });
        throw;
    }
}

}  // namespace mthread
