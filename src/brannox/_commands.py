"""The console commands: ``brannox-demo`` and ``brannox-monitor``.

Each runs its package's ``__main__`` exactly as ``python -m`` does, so the
two ways of starting a program behave alike (exit statuses included).
"""
import runpy


def demo() -> None:
    """``brannox-demo``: the demonstration, as ``python -m brannox.demo``."""
    runpy.run_module("brannox.demo", run_name="__main__", alter_sys=True)


def monitor() -> None:
    """``brannox-monitor replay FILE``: as ``python -m brannox.monitor``."""
    runpy.run_module("brannox.monitor", run_name="__main__", alter_sys=True)
