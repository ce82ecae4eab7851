"""``python -m brannox.demo``: run the demonstration (see docs/demo.md)."""

import os
import sys

from brannox.demo import INTERRUPTED, main

if __name__ == "__main__":
    status = main()
    if status == INTERRUPTED:
        # A KeyboardInterrupt that passed through exec() or eval() on its way
        # (imports of agno and its dependencies are full of them) makes the
        # interpreter end itself by SIGINT at exit, whatever the status.
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (AttributeError, OSError, ValueError):
                pass
        os._exit(status)
    raise SystemExit(status)
