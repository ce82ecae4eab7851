"""The README's example session and the core guide's worked example run as written."""
import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_example_session_runs(tmp_path):
    code = re.search(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S).group(1)
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "4\n{'greeting': 'hello', 'said': 'HELLO'}\n"
    # Lifecycle lines go to standard error through the logger.
    for line in ("初始化线程引擎", "注册动作节点: Say", "创建行为树: greeter", "停止行为树: greeter", "停止所有行为树"):
        assert line in proc.stderr


def test_core_guide_worked_example_runs(tmp_path):
    guide = README.parent / "docs" / "core-guide.md"
    blocks = re.findall(r"```python\n(.*?)```", guide.read_text(encoding="utf-8"), re.S)
    code = next(b for b in blocks if "ThreadEngine()" in b and "yield" in b)
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "SUCCESS 49\nTrue\n"
