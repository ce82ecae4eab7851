# Sourced by the other scripts: finds a CPython 3.10 (or $PYTHON) and makes the
# project's virtual environment in .venv with the package and its extras
# installed. The package is reinstalled only when its sources or the extras
# asked for changed since the last install (a stamp in the environment).
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

# say TEXT: what the set-up is doing, on stderr (stdout belongs to the program run).
say() { echo "setup: $*" >&2; }

# source_hash PIP_ARGS...: a hash of what an install is made from: the
# package's sources (tracked or new, not ignored), the interpreter and the
# pip arguments.
source_hash() {
    (
        printf '%s\n' "$@"
        "$VENV/bin/python" -c 'import sys; print(sys.executable, sys.version)'
        cd "$ROOT"
        if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
            git ls-files -z --cached --others --exclude-standard -- src CMakeLists.txt pyproject.toml README.md
        else
            find src CMakeLists.txt pyproject.toml README.md -type f -print0 | sort -z
        fi | xargs -0 -r sha256sum 2>/dev/null || true  # a tracked file deleted: hashed as gone
    ) | sha256sum | cut -d' ' -f1
}

# install_package EXTRAS [PIP_ARGS...]: installs the package with EXTRAS
# unless the stamp shows these sources installed with these extras (or
# more) and the compiled module is still in place (found, not loaded: a
# sanitizer build loads only under its preload).
install_package() {
    local extras="$1"; shift
    local stamp="$VENV/.package-stamp" hash had="" wanted
    hash="$(source_hash "$@")"
    if [ -f "$stamp" ] && [ "$(sed -n 1p "$stamp")" = "$hash" ]; then
        had="$(sed -n 2p "$stamp")"
    fi
    wanted="$(printf '%s\n' ${had//,/ } ${extras//,/ } | sort -u | paste -sd, -)"
    if [ -n "$had" ] && [ "$wanted" = "$had" ] &&
        "$VENV/bin/python" -c 'import importlib.util as u, sys
sys.exit(u.find_spec("brannox.engine.trigger.mthread") is None)' >/dev/null 2>&1; then
        say "package up to date in $VENV (sources and extras unchanged)"
        return
    fi
    say "installing the package with extras [$extras] into $VENV: compiling the C++ extension" \
        "and fetching what the extras need (a few minutes the first time, seconds after) ..."
    rm -f "$stamp"
    "$VENV/bin/python" -m pip install --quiet "$@" "$ROOT[$extras]"
    # Extras installed before stay installed, as long as the sources are the same.
    printf '%s\n%s\n' "$hash" "$wanted" >"$stamp"
    say "installed"
}

# setup_venv EXTRAS [PIP_ARGS...]: creates $VENV if needed and installs the
# package with EXTRAS there when anything changed.
setup_venv() {
    local extras="$1"; shift
    if [ ! -x "$VENV/bin/python" ]; then
        say "creating the virtual environment $VENV and upgrading its pip ..."
        "$(find_python)" -m venv "$VENV"
        "$VENV/bin/python" -m pip install --quiet --upgrade pip
    fi
    install_package "$extras" "$@"
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
