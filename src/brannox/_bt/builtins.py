"""The built-in node types, gathered from the modules that define them.

Kept so that code importing node classes or the lookup tables from here
goes on working; the classes live in ``controls``, ``decorators``,
``leaves``, ``timing`` and ``scripting``, the tables beside the factory.
"""

from .controls import (  # noqa: F401
    Fallback, IfThenElse, Parallel, ParallelAll, ReactiveFallback, ReactiveSequence, Sequence, SequenceWithMemory,
    Switch2, Switch3, Switch4, Switch5, Switch6, WhileDoElse,
)
from .decorators import (  # noqa: F401
    ForceFailure, ForceSuccess, Inverter, KeepRunningUntilFailure, LoopBool, LoopDouble, LoopInt, LoopString,
    Repeat, RetryUntilSuccessful, RunOnce,
)
from .factory import BUILTIN_NODES, LATER_BUILTIN_NODES  # noqa: F401
from .leaves import ActionNode, AlwaysFailure, AlwaysSuccess, SetBlackboard, StatefulTick, SubTreeNode  # noqa: F401
from .scripting import Precondition, Script, ScriptCondition  # noqa: F401
from .timing import Delay, Sleep, Timeout  # noqa: F401
