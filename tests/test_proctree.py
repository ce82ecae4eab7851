"""The /proc walker the process-starting tests and the benchmarks share."""
import os
import shutil
import signal
import subprocess
import sys

import pytest

from brannox._proctree import descendants

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc")


def test_descendants_reach_grandchildren_whatever_their_names(tmp_path):
    # A command name with ") " in it must not confuse the read of the parent pid.
    odd = tmp_path / "odd) name 1 2"
    shutil.copy(shutil.which("sleep"), odd)
    script = "import subprocess, sys; p = subprocess.Popen([sys.argv[1], '30']); print(p.pid, flush=True); p.wait()"
    with subprocess.Popen([sys.executable, "-c", script, str(odd)], stdout=subprocess.PIPE, text=True) as child:
        grandchild = int(child.stdout.readline())
        try:
            found = descendants()
            assert found.index(child.pid) < found.index(grandchild)
            assert descendants(child.pid) == [grandchild] and os.getpid() not in found
        finally:
            os.kill(grandchild, signal.SIGKILL)
