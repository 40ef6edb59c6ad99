"""The soak test, short: all primitives together from 8 threads (see reliability/soak.py)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import SANITIZED

SOAK = Path(__file__).resolve().parent / "reliability" / "soak.py"


@pytest.mark.thread_unsafe(reason="a 20 s run of its own threads in a subprocess; copies would only share the cores")
def test_soak():
    seconds = float(os.environ.get("TORVAN_SOAK_SECONDS", "10" if SANITIZED else "20"))
    done = subprocess.run([sys.executable, "-P", "-X", "faulthandler", str(SOAK), "--seconds", str(seconds),
                           "--watchdog", str(seconds + 90)],
                          capture_output=True, text=True, timeout=seconds + 180)
    assert done.returncode == 0, f"soak failed:\nstdout:\n{done.stdout}\nstderr:\n{done.stderr[-20000:]}"
    assert "soak passed" in done.stdout
