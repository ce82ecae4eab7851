"""The set-up scripts and the packaging metadata, as a newcomer meets them."""
import importlib.metadata
import pathlib
import shutil
import subprocess
import sys

import pytest

import brannox

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Stands in for the environment's interpreter: logs every call, answers -c.
FAKE_PYTHON = """#!/bin/sh
echo "$*" >> "$CALLS"
[ "$1" = -c ] && echo "fake python"
exit 0
"""


@pytest.mark.parametrize("tracked", [True, False], ids=["git checkout", "unpacked sources"])
def test_setup_reinstalls_only_when_sources_or_extras_change(tmp_path, tracked):
    project = tmp_path / "project"
    (project / "scripts").mkdir(parents=True)
    shutil.copy(ROOT / "scripts" / "env.sh", project / "scripts" / "env.sh")
    (project / "src").mkdir()
    (project / "src" / "mod.py").write_text("x = 1\n")
    for name in ("CMakeLists.txt", "pyproject.toml", "README.md"):
        (project / name).write_text("")
    python = project / ".venv" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text(FAKE_PYTHON)
    python.chmod(0o755)
    calls = tmp_path / "calls"
    if tracked:
        (project / ".gitignore").write_text(".venv/\n")
        subprocess.run(["git", "init", "-q", str(project)], check=True)
        subprocess.run(["git", "-C", str(project), "add", "-A"], check=True)

    def setup(extras):
        proc = subprocess.run(["bash", "-c", 'source scripts/env.sh && setup_venv "$1"', "-", extras], cwd=project,
                              env={"PATH": "/usr/bin:/bin", "CALLS": str(calls)}, capture_output=True, text=True,
                              timeout=60)
        assert proc.returncode == 0, proc.stderr
        installs = [line for line in calls.read_text().splitlines()
                    if line.startswith("-m pip install") and "[" in line]  # the package's, not pip's own
        calls.write_text("")
        return [line.rsplit("[", 1)[1].rstrip("]") for line in installs], proc.stderr

    installed, said = setup("test")
    assert installed == ["test"] and "installing the package with extras [test]" in said
    installed, said = setup("test")
    assert installed == [] and "up to date" in said
    assert setup("demo")[0] == ["demo"]
    assert setup("test")[0] == []  # extras installed earlier still count
    (project / "src" / "mod.py").write_text("x = 2\n")
    assert setup("test")[0] == ["test"]
    assert setup("test")[0] == []
    (project / "src" / "new.py").write_text("")  # not yet added: counts too
    assert setup("test")[0] == ["test"]
    (project / "src" / "mod.py").unlink()
    assert setup("test")[0] == ["test"]
    assert setup("test")[0] == []


def test_metadata_version_and_console_commands():
    meta = importlib.metadata.metadata("brannox-mthread")
    assert meta["Version"] == brannox.__version__
    assert "License :: OSI Approved :: MIT License" in meta.get_all("Classifier")
    scripts = {e.name: e.value for e in importlib.metadata.entry_points(group="console_scripts")
               if e.value.startswith("brannox.")}
    assert scripts == {"brannox-demo": "brannox._commands:demo", "brannox-monitor": "brannox._commands:monitor"}
    command = pathlib.Path(sys.executable).parent / "brannox-monitor"
    proc = subprocess.run([str(command), "--help"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and "replay" in proc.stdout, proc.stderr
