"""The `make demo` job: runs the examples one after another."""

import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent

for script in ["open_port.py"]:
    print(f"--- {script}")
    subprocess.run([sys.executable, str(HERE / script)], check=True)
