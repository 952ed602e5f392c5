"""tools/check-docs on a small document: it runs what is marked, as written,
with a simulator started as if in a second terminal, and fails on the block
that breaks."""

import ast
import os
import re
import subprocess
import sys
import tomllib

from conftest import ROOT
from simulator import binary_path

DOC = """\
# Try it

Ports are opened in Library/src/SerialStream.cpp (OpenPort), not at Library/src/SerialStream.cpp:12.

<!-- check-docs: start -->
```sh
"$TESSARY_SIM" --handles 0 --link /tmp/tessary
```

<!-- check-docs -->
```python
import os
print(os.readlink("/tmp/tessary/ttyACM-sim0"))
```

<!-- check-docs -->
```sh
ls /tmp/tessary/ttyACM-sim9   # broken on purpose
```

<!-- check-docs: exit 3 -->
```sh
exit 3
```
<!-- check-docs: stop -->

```sh
false   # not marked: never run
```

<!-- check-docs -->
```sh
test -f examples/arm_info.py && test -z "$(ls -A /tmp/tessary 2>/dev/null)"   # stopped: no links
```
"""


def test_runs_the_marked_blocks_and_fails_on_the_broken_one(tmp_path):
    doc = tmp_path / "doc.md"
    doc.write_text(DOC)
    env = dict(os.environ, TESSARY_SIM=binary_path(), PYTHONPATH=str(ROOT / "python"))
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "check-docs"), str(doc)],
                            capture_output=True, text=True, env=env, timeout=60)
    assert (result.returncode, result.stdout) == (1, "")
    lines = result.stderr.splitlines()
    assert lines[:3] == [f"check-docs: {doc}:3: quotes line 12 of Library/src/SerialStream.cpp; name the function instead",
                         f"check-docs: {doc}:17: exit status 2, expected 0",
                         "  ls /tmp/tessary/ttyACM-sim9   # broken on purpose"]
    assert "No such file or directory" in lines[3]
    assert lines[4:] == ["check-docs: 1 of 5 blocks failed, 1 quoted line number(s)"]
    assert not os.path.lexists("/tmp/tessary/ttyACM-sim0")  # the simulator stopped, its links gone


def test_readme_performance_rows_are_the_benchmark_rows():
    tree = ast.parse((ROOT / "bench" / "run_bench.py").read_text())
    rows = next(node.value for node in tree.body if isinstance(node, ast.Assign) and node.targets[0].id == "ROWS")
    labels = [label for _, label in ast.literal_eval(rows)]
    readme = (ROOT / "README.md").read_text().split("## Performance", 1)[1].split("\n## ", 1)[0]
    assert re.findall(r"^\| ([^|]+?) \| [\d,]+ \|", readme, re.M) == labels


def test_api_reference_lists_every_cpp_example_and_counts_them():
    section = (ROOT / "docs" / "api.md").read_text().split("### The examples", 1)[1].split("\n#", 1)[0]
    listed = re.findall(r"^\| `(\w+)", section, re.M)
    programs = sorted(p.stem for p in (ROOT / "examples" / "cpp").glob("*.cpp"))
    assert sorted(listed) == programs
    words = ["one", "two", "three", "four", "five", "six", "seven", "eight"]
    assert f"holds {words[len(programs) - 1]} programs" in section


def test_pypi_page_names_what_the_package_needs_at_run_time():
    needs = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["dependencies"]
    line = next(line for line in (ROOT / "docs" / "pypi.md").read_text().split("\n- ") if "run time" in line)
    names = [re.match(r"[\w.-]+", need).group() for need in needs]
    assert names and all(name in line for name in names), (names, line)
