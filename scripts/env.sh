# Sourced by the other scripts: finds a CPython 3.10 (or $PYTHON) and makes the
# project's virtual environment in .venv with the package and its extras installed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"

find_python() {
    if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
    if command -v pyenv >/dev/null 2>&1 && p="$(pyenv prefix 3.10 2>/dev/null)" && [ -x "$p/bin/python" ]; then
        echo "$p/bin/python"; return
    fi
    if command -v python3.10 >/dev/null 2>&1; then command -v python3.10; return; fi
    if command -v python3 >/dev/null 2>&1; then
        echo "no CPython 3.10 found; using $(command -v python3) (set PYTHON= to choose)" >&2
        command -v python3; return
    fi
    echo "no Python found: install CPython 3.10 or set PYTHON=/path/to/python" >&2
    exit 1
}

# setup_venv EXTRAS: creates .venv if needed and (re)installs the package with EXTRAS.
setup_venv() {
    local extras="$1"
    if [ ! -x "$VENV/bin/python" ]; then
        "$(find_python)" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
    "$VENV/bin/python" -m pip install --quiet "$ROOT[$extras]"
}

# Ray's processes are told to use loopback only; no usage statistics either.
export RAY_USAGE_STATS_ENABLED=0

# loopback_only CMD...: runs CMD in a network namespace of its own where only
# loopback exists (as root, with unshare and ip), so nothing the tests start
# can listen on or reach another address; elsewhere runs CMD as it is.
loopback_only() {
    if [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null 2>&1 && unshare --net true 2>/dev/null; then
        unshare --net sh -c 'ip link set lo up && exec "$@"' sh "$@"
    else
        "$@"
    fi
}
