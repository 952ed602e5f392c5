#!/usr/bin/env bash
# The library as a C++ user gets it: builds it shared (TESSARY_SHARED=ON),
# installs it into WORK_DIR/prefix, checks that libtessary.so exports only
# the public API, builds examples/cpp as an outside project against that
# prefix twice (find_package, then pkg-config), and runs the programs against
# the installed tessary-sim. The default archive, installed from the
# project's normal build (STATIC_BUILD) into WORK_DIR/prefix-static, gets a
# pkg-config build too. The folders are kept, so a second run only rebuilds
# what changed.
#   tools/check-install.sh WORK_DIR PYTHON STATIC_BUILD
set -euo pipefail
tree=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
work=$(cd "$1" && pwd)
py=$2
prefix=$work/prefix
static_prefix=$work/prefix-static

# $1: build folder; the rest: how to configure it the first time.
build() {
  local dir=$1; shift
  [ -f "$dir/build.ninja" ] || cmake -G Ninja -B "$dir" "$@" >"$work/configure.log" || {
    cat "$work/configure.log"; exit 1; }
  cmake --build "$dir" -j"${JOBS:-2}" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
}

build "$work/library" -S "$tree" -DTESSARY_SHARED=ON -DTESSARY_BUILD_MODULE=OFF -DTESSARY_BUILD_TESTS=OFF \
  -DTESSARY_BUILD_BENCH=OFF -DTESSARY_BUILD_EXAMPLES=OFF
cmake --install "$work/library" --prefix "$prefix" >/dev/null
"$py" "$tree/tools/check-exports.py" "$prefix/lib/libtessary.so.0" "$prefix/include/TessaryHardwareAPI"

# Only the prefix may be seen: no -I into the source tree; at run time the
# prefix's shared library, or none for the archive.
# $1: build folder name; $2: prefix; $3: the line ldd must show ("" for none); the rest: cmake options.
consumer() {
  local dir=$work/$1 from=$2 loads=$3; shift 3
  build "$dir" -S "$tree/examples/cpp" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@"
  if grep -q -- "-I$tree/Library" "$dir/compile_commands.json"; then
    echo "consumer ($dir): compiled against the source tree's headers"; exit 1
  fi
  local libs  # not piped into grep -q, whose early exit would fail the pipeline
  libs=$(ldd "$dir/arm_info")
  if [ -n "$loads" ]; then grep -qF "$loads" <<<"$libs"; else ! grep -qF libtessary <<<"$libs"; fi || {
    echo "consumer ($dir): arm_info should load ${loads:-no libtessary}"; echo "$libs"; exit 1; }
  echo "consumer: examples/cpp built with $(basename "$dir") against $from"
}
shared="libtessary.so.0 => $prefix/lib/libtessary.so.0 "
consumer find_package "$prefix" "$shared" -DCMAKE_PREFIX_PATH="$prefix"
PKG_CONFIG_PATH=$prefix/lib/pkgconfig consumer pkg-config "$prefix" "$shared" -DTESSARY_FIND_WITH=pkg-config
cmake --install "$3" --prefix "$static_prefix" >/dev/null
PKG_CONFIG_PATH=$static_prefix/lib/pkgconfig consumer pkg-config-static "$static_prefix" "" \
  -DTESSARY_FIND_WITH=pkg-config
grep -q -- "-DTESSARY_STATIC" "$work/pkg-config-static/compile_commands.json" || {
  echo "consumer: tessary.pc of the archive does not define TESSARY_STATIC"; exit 1; }

# One arm and one wired handle; each build runs one program, the loop runs briefly.
out=$(PYTHONPATH=$tree/python "$py" -m tessary.sim --binary "$prefix/bin/tessary-sim" -- --link '{tmp}' -- sh -c \
  '"$1/find_package/arm_info" "$2/ttyACM-sim0" && "$1/pkg-config/handle_messages" "$2/ttyUSB-sim0" 1 &&
   "$1/find_package/haptic_wall" "$2/ttyACM-sim0" --seconds 0.2 --push 2 &&
   "$1/pkg-config/servo_wall" "$2/ttyACM-sim0" --seconds 0.3 --push 2 --timeout 0.2 &&
   "$1/pkg-config-static/arm_info" "$2/ttyACM-sim0"' sh "$work" '{tmp}') || {
  echo "$out"; echo "consumer: the examples failed against tessary-sim"; exit 1; }
[ "$(grep -cxF "  model             4" <<<"$out")" = 2 ] || {
  echo "$out"; echo "consumer: not both arm_info builds woke the arm"; exit 1; }
for line in "  model             4" \
            "  identifier        7e551ac0-5100-4000-8000-000000000000" \
            '  firmware id       "tessary-sim 1.0"' \
            "info:   device 0x4800, model 2, hardware 1, firmware 3, tool data remaining 100"; do
  grep -qxF -- "$line" <<<"$out" || { echo "$out"; echo "consumer: missing line: $line"; exit 1; }
done
# The status message carries back the user data the program sent.
grep -qx 'status: device 0x4800, orientation (.*), error flag 0, hall sensor 128, user data 2a' <<<"$out" &&
  grep -qE '^[0-9]+ exchanges in 0\.[0-9]+ s: [0-9]+ Hz \(asked for 1000 Hz\)$' <<<"$out" &&
  grep -qE '^[0-9]+ ticks: [0-9]+ Hz; period ms p50 [0-9.]+ .*; [0-9]+ overruns$' <<<"$out" || {
  echo "$out"; echo "consumer: unexpected status or loop lines"; exit 1; }
echo "consumer: arm_info (twice), handle_messages, haptic_wall and servo_wall ran against $prefix/bin/tessary-sim"
