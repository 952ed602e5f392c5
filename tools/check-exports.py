"""Checks that a shared libtessary exports the public API and nothing else.

    python tools/check-exports.py LIBRARY INCLUDE_DIR

Every symbol in the library's dynamic table (nm -D) must belong to
Tessary::HardwareAPI and name a class or function that the headers in
INCLUDE_DIR declare; every function the headers mark TESSARY_API, and every
class so marked, must be there. Prints the offenders and exits 1 otherwise.
"""

import pathlib
import re
import subprocess
import sys

# The ABI's names for what a class emits beside its functions.
CLASS_PARTS = re.compile(r"^(typeinfo name for|typeinfo for|vtable for|VTT for|(?:non-)?virtual thunk to) ")


def exported(library):
    out = subprocess.run(["nm", "-D", "--defined-only", "-C", library], capture_output=True, text=True, check=True)
    return [line.split(" ", 2)[2] for line in out.stdout.splitlines()]


def declared(include_dir):
    """Names the headers declare, and the classes and functions marked TESSARY_API."""
    text = "\n".join(p.read_text() for p in sorted(pathlib.Path(include_dir).glob("*.h")))
    text = re.sub(r"//.*", "", text)
    names = set(re.findall(r"\b(?:class|struct)\s+(?:TESSARY_API\s+)?(\w+)", text))
    names |= {name.lstrip("~") for name in re.findall(r"(~?\b\w+)\s*\(", text)}
    marked = set(re.findall(r"\b(?:class|struct)\s+TESSARY_API\s+(\w+)", text))
    marked |= set(re.findall(r"\bTESSARY_API\s+[\w:<>, *&]+?\b(\w+)\s*\(", text))
    return names, marked


def entity(symbol):
    """The last name in a demangled symbol: the function, or the class a part belongs to."""
    symbol = CLASS_PARTS.sub("", symbol)
    qualified = symbol.split("(", 1)[0]
    return qualified, qualified.rsplit("::", 1)[-1].lstrip("~")


def main():
    library, include_dir = sys.argv[1], sys.argv[2]
    names, marked = declared(include_dir)
    symbols = exported(library)
    foreign = []
    seen = set()
    for symbol in symbols:
        qualified, name = entity(symbol)
        parts = qualified.split("::")
        if parts[:2] != ["Tessary", "HardwareAPI"] or name not in names:
            foreign.append(symbol)
        seen.update(parts)
    missing = sorted(marked - seen)
    for symbol in foreign:
        print(f"exported but not public API: {symbol}")
    for name in missing:
        print(f"marked TESSARY_API but not exported: {name}")
    if foreign or missing:
        sys.exit(1)
    print(f"exports: {len(symbols)} symbols, all of them public API, in {library}")


if __name__ == "__main__":
    main()
