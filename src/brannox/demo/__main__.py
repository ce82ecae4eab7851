"""``python -m brannox.demo``: run the demonstration (see docs/demo.md)."""

import sys

from brannox.demo import INTERRUPTED, exit_at_once, main

if __name__ == "__main__":
    status = main()
    if status == INTERRUPTED:
        # A KeyboardInterrupt that passed through exec() or eval() on its way
        # (imports of agno and its dependencies are full of them) makes the
        # interpreter end itself by SIGINT at exit, whatever the status.
        exit_at_once(status, sys.stdout, sys.stderr)
    raise SystemExit(status)
