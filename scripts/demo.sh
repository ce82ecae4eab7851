#!/usr/bin/env bash
# Builds and installs the package with the demonstration's extra into .venv,
# then runs the demonstration. Extra arguments go to the launcher.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
setup_venv "demo,monitor"
cd "$ROOT"
exec "$VENV/bin/python" -m brannox.demo "$@"
