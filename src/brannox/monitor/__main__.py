"""``python -m brannox.monitor replay FILE``: serve a recording until Enter or Ctrl-C."""

from __future__ import annotations

import argparse
import sys

from . import replay


def port_number(text: str) -> int:
    """argparse type: a TCP port, 0 (any free port) to 65535."""
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"{port} is not a port number (0 to 65535; 0 picks a free one)")
    return port


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m brannox.monitor", description="Tree monitor tools")
    sub = p.add_subparsers(dest="command", required=True)
    r = sub.add_parser("replay", help="open a recording in the monitor page",
                       description="Serve a recording (written by brannox.monitor.record) to the monitor page "
                                   "until Enter or Ctrl-C; the page's URL is printed on standard error.")
    r.add_argument("file", help="the recording, a JSON Lines file")
    r.add_argument("--host", default="127.0.0.1",
                   help="the address to listen on (default: %(default)s); any other than loopback needs --token")
    r.add_argument("--port", type=port_number, default=0, help="the port to listen on (default: a free one)")
    r.add_argument("--token", default=None,
                   help="the secret the page must present, at least 8 characters; required when --host is not "
                        "a loopback address (the printed URL carries it)")
    args = p.parse_args(argv)
    from ._server import is_loopback

    # The library's refusal names its keyword argument; here the option is what to pass.
    if args.token is not None and len(args.token) < 8:
        r.error("argument --token: must be at least 8 characters")
    if args.token is None and not is_loopback(args.host):
        r.error(f"binding {args.host!r} exposes the monitor beyond this machine: pass --token to do so")
    try:
        handle = replay(args.file, args.host, args.port, args.token)
    except ModuleNotFoundError as exc:  # the monitor extra: the message says what to install
        print(f"error: {exc}", file=sys.stderr)
        return 1
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
