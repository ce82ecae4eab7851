#!/usr/bin/env bash
# Builds and installs the package into .venv, then runs the test suite against
# the installed package. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
setup_venv "test,demo,monitor,distributed,durable,otel"
cd "$ROOT"
loopback_only "$VENV/bin/python" -m pytest "$@"
