#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the wanted minor version
# (default 3.12): python3.X on PATH when it really runs, else pyenv's.
set -u
want=${1:-3.12}
ok() { "$1" -c "import sys; sys.exit(sys.version.split()[0].rsplit('.', 1)[0] != '$want')" >/dev/null 2>&1; }
if command -v "python$want" >/dev/null 2>&1 && ok "python$want"; then
  command -v "python$want"
  exit 0
fi
if command -v pyenv >/dev/null 2>&1; then
  prefix=$(pyenv prefix "$want" 2>/dev/null | head -n 1)
  if [ -n "$prefix" ] && ok "$prefix/bin/python$want"; then
    echo "$prefix/bin/python$want"
    exit 0
  fi
fi
for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$want".*/bin/python"$want"; do
  if [ -x "$candidate" ] && ok "$candidate"; then
    echo "$candidate"
    exit 0
  fi
done
echo "no Python $want interpreter found (install it, e.g. with pyenv)" >&2
exit 1
