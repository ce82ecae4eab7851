"""``python -m brannox.monitor replay FILE``: serve a recording until Enter or Ctrl-C."""

from __future__ import annotations

import argparse
import sys

from . import replay


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m brannox.monitor", description="Tree monitor tools")
    sub = p.add_subparsers(dest="command", required=True)
    r = sub.add_parser("replay", help="open a recording in the monitor page")
    r.add_argument("file")
    r.add_argument("--host", default="127.0.0.1")
    r.add_argument("--port", type=int, default=0)
    r.add_argument("--token", default=None, help="required when --host is not a loopback address")
    args = p.parse_args(argv)
    try:
        handle = replay(args.file, args.host, args.port, args.token)
    except (OSError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    print(f"monitor: {handle.url}  (Enter or Ctrl-C to stop)", file=sys.stderr, flush=True)
    try:
        sys.stdin.readline()
    except KeyboardInterrupt:
        pass
    finally:
        handle.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
