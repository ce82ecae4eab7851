// The engine's commands, written once.
//
// Each tree operation of ThreadEngine is one command: the public method
// (engine.cpp) sends {"type": <type>, "params": {...}} through
// _send_command, and the tree thread (exchange.cpp) serves it by calling
// one method of its core engine with the parameters in table order. The
// module state interns the strings of every entry (module.cpp).
//
// Adding a command is adding a row here, a docstring beside it, and the
// method's place in the class namespace (engine.cpp builds the methods from
// these rows, in this order).
#pragma once

#include "mthread.hpp"

#include <array>
#include <iterator>

namespace mthread {

// What the tree thread passes for a parameter that a command does not carry
// (a command sent through _send_command with fewer parameters).
enum class Absent : std::uint8_t { None, One };

// What the public method and the tree thread answer: the core's value, or
// None whatever the core returned.
enum class Answer : std::uint8_t { Value, None };

struct CommandDef {
    const char* name;         // the ThreadEngine method
    const char* qualname;
    const char* type;         // the command's "type"
    const char* core_method;  // the core engine method that serves it
    // self, tree_id, then the command's parameters, which are also the core
    // method's arguments and the keys of "params", in this order.
    std::span<const Param> signature;
    std::array<Absent, kMostCommandParams> absent{};  // one per command parameter
    Answer answer = Answer::Value;
    const char* return_annotation;
    ResultCheck result = ResultCheck::None;
    const char* doc;

    std::span<const Param> params() const { return signature.subspan(2); }
};

inline constexpr Param p_self{"self", nullptr, Check::Any};
inline constexpr Param p_tree_id{"tree_id", "str", Check::Str};

namespace command_signatures {
inline constexpr Param tree[] = {p_self, p_tree_id};
inline constexpr Param tick_n_times[] = {p_self, p_tree_id, {"n", "int", Check::Int}};
inline constexpr Param get_blackboard_data[] = {p_self, p_tree_id, {"key", "str", Check::Str}};
inline constexpr Param set_blackboard_data[] = {p_self, p_tree_id, {"key", "str", Check::Str},
                                                {"value", "Any", Check::Any}};
}  // namespace command_signatures

namespace command_docs {
inline constexpr char tick_once[] = "\n        执行一次行为树tick\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Returns:\n            NodeStatus: 执行状态\n        ";
inline constexpr char tick_until_failure[] = "\n        执行行为树直到失败\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Returns:\n            int: 执行次数\n        ";
inline constexpr char tick_until_success[] = "\n        执行行为树直到成功\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Returns:\n            int: 执行次数\n        ";
inline constexpr char tick_n_times[] = "\n        执行行为树n次\n        \n        Args:\n            tree_id: 行为树ID\n            n: 执行次数\n            \n        Returns:\n            List[NodeStatus]: 执行状态列表\n        ";
inline constexpr char get_tree_status[] = "\n        获取行为树状态\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Returns:\n            Dict[str, Any]: 行为树状态\n        ";
inline constexpr char get_blackboard_data[] = "\n        获取黑板数据\n        \n        Args:\n            tree_id: 行为树ID\n            key: 数据键\n            \n        Returns:\n            Any: 数据值\n        ";
inline constexpr char set_blackboard_data[] = "\n        设置黑板数据\n        \n        Args:\n            tree_id: 行为树ID\n            key: 数据键\n            value: 数据值\n        ";
inline constexpr char get_all_blackboard_data[] = "\n        获取所有黑板数据\n        \n        Args:\n            tree_id: 行为树ID\n            \n        Returns:\n            Dict[str, Any]: 所有黑板数据\n        ";
inline constexpr char reset_tree[] = "\n        重置行为树\n        \n        Args:\n            tree_id: 行为树ID\n        ";
}  // namespace command_docs

#define MTHREAD_QN(name) "ThreadEngine." #name
inline constexpr CommandDef kCommands[] = {
    {.name = "tick_once", .qualname = MTHREAD_QN(tick_once), .type = "tick_once", .core_method = "tick_once",
     .signature = command_signatures::tree, .return_annotation = "NodeStatus", .doc = command_docs::tick_once},
    {.name = "tick_until_failure", .qualname = MTHREAD_QN(tick_until_failure), .type = "tick_until_failure",
     .core_method = "tick_until_failure", .signature = command_signatures::tree, .return_annotation = "int",
     .result = ResultCheck::Int, .doc = command_docs::tick_until_failure},
    {.name = "tick_until_success", .qualname = MTHREAD_QN(tick_until_success), .type = "tick_until_success",
     .core_method = "tick_until_success", .signature = command_signatures::tree, .return_annotation = "int",
     .result = ResultCheck::Int, .doc = command_docs::tick_until_success},
    {.name = "tick_n_times", .qualname = MTHREAD_QN(tick_n_times), .type = "tick_n_times",
     .core_method = "tick_n_times", .signature = command_signatures::tick_n_times, .absent = {Absent::One},
     .return_annotation = "List[NodeStatus]", .result = ResultCheck::List, .doc = command_docs::tick_n_times},
    {.name = "get_tree_status", .qualname = MTHREAD_QN(get_tree_status), .type = "get_status",
     .core_method = "get_tree_status", .signature = command_signatures::tree,
     .return_annotation = "Dict[str, Any]", .result = ResultCheck::Dict, .doc = command_docs::get_tree_status},
    {.name = "get_blackboard_data", .qualname = MTHREAD_QN(get_blackboard_data), .type = "get_blackboard_data",
     .core_method = "get_blackboard_data", .signature = command_signatures::get_blackboard_data,
     .return_annotation = "Any", .doc = command_docs::get_blackboard_data},
    {.name = "set_blackboard_data", .qualname = MTHREAD_QN(set_blackboard_data), .type = "set_blackboard_data",
     .core_method = "set_blackboard_data", .signature = command_signatures::set_blackboard_data,
     .answer = Answer::None, .return_annotation = "None", .doc = command_docs::set_blackboard_data},
    {.name = "get_all_blackboard_data", .qualname = MTHREAD_QN(get_all_blackboard_data),
     .type = "get_all_blackboard_data", .core_method = "get_all_blackboard_data",
     .signature = command_signatures::tree, .return_annotation = "Dict[str, Any]", .result = ResultCheck::Dict,
     .doc = command_docs::get_all_blackboard_data},
    {.name = "reset_tree", .qualname = MTHREAD_QN(reset_tree), .type = "reset", .core_method = "reset_tree",
     .signature = command_signatures::tree, .answer = Answer::None, .return_annotation = "None",
     .doc = command_docs::reset_tree},
};
#undef MTHREAD_QN
static_assert(std::size(kCommands) == kCommandCount, "kCommandCount must match the command table");
static_assert([] {
    for (const CommandDef& def : kCommands)
        if (def.signature.size() < 2 || def.signature.size() > 2 + kMostCommandParams) return false;
    return true;
}(), "a command takes self, tree_id and at most kMostCommandParams parameters");

// The position of `def` in kCommands, which is also the position of its
// interned names in the module state.
inline std::size_t command_index(const CommandDef& def) { return static_cast<std::size_t>(&def - kCommands); }

inline const CommandNames& command_names(const ModuleState* st, const CommandDef& def) {
    return st->commands[command_index(def)];
}

}  // namespace mthread
