#!/usr/bin/env bash
# Runs the soak test for a long time by hand: scripts/soak.sh [SECONDS] [pytest args...]
# (default 600 s). Builds and installs the package into .venv first, as
# scripts/test.sh does; SOAK_INSTALL=0 tests what is installed already.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
seconds="${1:-600}"
[ $# -gt 0 ] && shift
if [ "${SOAK_INSTALL:-1}" != 0 ]; then
    setup_venv "test,demo"
fi
cd "$ROOT"
# The suite's per-test timeout is sized for the short soak; give this one its
# duration plus a margin.
SOAK_SECONDS="$seconds" exec "$VENV/bin/python" -m pytest tests/test_soak.py -s -q -p no:cacheprovider \
    --timeout "$((seconds + 300))" "$@"
