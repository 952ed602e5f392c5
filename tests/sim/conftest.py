import os
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
MODULE_DIR = os.environ.get("TESSARY_MODULE_DIR", str(ROOT / "build" / "python"))
for path in (MODULE_DIR, str(HERE)):
    if path not in sys.path:
        sys.path.insert(0, path)

from simulator import Simulator  # noqa: E402


@pytest.fixture
def start_sim():
    """start_sim(*options) runs a tessary-sim for this test and returns it,
    its announcement lines parsed; each is stopped (exit 0 checked) afterwards."""
    running = []

    def start(*args):
        sim = Simulator(*args).start()
        running.append(sim)
        return sim

    yield start
    for sim in running:
        sim.stop()
