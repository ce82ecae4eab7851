"""``--monitor`` for the demonstration: the monitor around the run, then serving until Enter or Ctrl-C."""

from __future__ import annotations

import sys


def run_watched(run) -> int:
    """Start the process-wide monitor, call ``run()``, keep serving until Enter, Ctrl-C or end of input."""
    try:
        from brannox.monitor import serve

        handle = serve()
    except ImportError as exc:  # serve() names the extra to install
        print(f"brannox demo: --monitor: {exc}", file=sys.stderr)
        return 2
    try:
        print(f"monitor: {handle.url}", file=sys.stderr, flush=True)
        code = run()
        print(f"monitor: still serving {handle.url}; press Enter or Ctrl-C to end", file=sys.stderr, flush=True)
        try:
            sys.stdin.readline()
        except KeyboardInterrupt:
            pass
        return code
    finally:
        handle.close()
