#!/usr/bin/env bash
# Builds and tests the package on each CPython version given (default 3.11,
# 3.12 and 3.13; 3.10 is covered by scripts/test.sh), one after another, each
# in its own .venv-<version>. Versions come from pyenv or pythonX.Y on PATH.
# Ray (the distributed extra) is installed for 3.13 only, to keep CI short:
# the distributed tests run there (and on 3.10) and skip on the others.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
versions=("$@")
[ ${#versions[@]} -eq 0 ] && versions=(3.11 3.12 3.13)
cd "$ROOT"
for v in "${versions[@]}"; do
    py=""
    if command -v pyenv >/dev/null 2>&1 && p="$(pyenv prefix "$v" 2>/dev/null)" && [ -x "$p/bin/python" ]; then
        py="$p/bin/python"
    elif command -v "python$v" >/dev/null 2>&1; then
        py="$(command -v "python$v")"
    fi
    if [ -z "$py" ]; then
        echo "CPython $v not found" >&2
        exit 1
    fi
    echo "=== CPython $v ($py)" >&2
    extras="test,demo,monitor,durable,otel"
    [ "$v" = 3.13 ] && extras="test,demo,monitor,distributed,durable,otel"
    PYTHON="$py" VENV="$ROOT/.venv-$v" EXTRAS="$extras" bash -c '
        source scripts/env.sh
        setup_venv "$EXTRAS"
        loopback_only "$VENV/bin/python" -m pytest -q -p no:cacheprovider
    '
done
