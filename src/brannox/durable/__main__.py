"""python -m brannox.durable list STORE | show STORE TREE"""

from __future__ import annotations

import argparse
import json
import sys
import time

from .errors import DurableError
from .store import open_store


def _when(t: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t)) + f".{int(t % 1 * 1000):03d}Z"


def _owner(pid, host) -> str:
    return "-" if pid is None else f"pid {pid} on {host}"


def cmd_list(store, args) -> int:
    rows = store.list_trees()
    if not rows:
        print(f"{store.label}: no trees")
        return 0
    width = max(len(r.tree_id) for r in rows)
    print(f"{'TREE':<{width}}  {'SEQ':>6}  {'TICKS':>8}  {'LAST CHECKPOINT (UTC)':<24}  OWNER")
    for r in rows:
        print(f"{r.tree_id:<{width}}  {r.seq:>6}  {r.tick_count:>8}  {_when(r.created):<24}  "
              f"{_owner(r.owner_pid, r.owner_host)}")
    return 0


def cmd_show(store, args) -> int:
    from ._codec import CODEC_TAG
    stored = store.load(args.tree)
    lease = store.lease(args.tree)
    print(f"tree:            {stored.tree_id}")
    print(f"owner:           {_owner(lease.pid, lease.host) if lease else '- (no live lease)'}")
    print(f"last checkpoint: {_when(stored.created)} (seq {stored.seq}, tick {stored.tick_count})")
    print(f"xml:             {len(stored.xml)} characters, sha256 {stored.xml_hash[:16]}…"
          + (f", from {stored.source}" if stored.source else ""))
    for path, item in stored.includes.items():
        print(f"include:         {path} (sha256 {item.get('sha256', '')[:16]}…)")
    names = {"I": "IDLE", "R": "RUNNING", "S": "SUCCESS", "F": "FAILURE", "K": "SKIPPED"}
    statuses = stored.state.get("status", "")
    counts = {names.get(s, s): statuses.count(s) for s in sorted(set(statuses), key=statuses.index)}
    print("nodes:           " + ", ".join(f"{n} {s}" for s, n in counts.items()))
    for index, memory in sorted(stored.state.get("memory", {}).items(), key=lambda kv: int(kv[0])):
        print(f"  node #{index}: " + ("(restarts on resume)" if memory is None else json.dumps(memory)))
    for i, (entries, versions) in enumerate(stored.state.get("blackboards", [])):
        print("blackboard:" if i == 0 else f"sub-tree blackboard #{i}:")
        for key in sorted(entries):
            value = entries[key]
            text = json.dumps(value, ensure_ascii=False)
            if isinstance(value, dict) and CODEC_TAG in value:
                text = f"<{value[CODEC_TAG]}> {json.dumps(value.get('value'), ensure_ascii=False)}"
            if len(text) > 200:
                text = text[:199] + "…"
            print(f"  {key} = {text}  (v{versions.get(key, 0)})")
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m brannox.durable", description="Look into a checkpoint store.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("list", help="trees, owners and last checkpoint times")
    p.add_argument("store", help="SQLite file or Postgres connection string")
    p.set_defaults(run=cmd_list)
    p = sub.add_parser("show", help="one tree's last checkpoint and blackboards")
    p.add_argument("store")
    p.add_argument("tree")
    p.set_defaults(run=cmd_show)
    args = parser.parse_args(argv)
    try:
        if not args.store.startswith(("postgres", "host=", "dbname=")):
            import os
            if not os.path.exists(args.store):
                print(f"error: {args.store}: no such file", file=sys.stderr)
                return 2
        store = open_store(args.store)
    except (DurableError, ImportError, OSError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    try:
        return args.run(store, args)
    except DurableError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    finally:
        store.close()


if __name__ == "__main__":
    sys.exit(main())
