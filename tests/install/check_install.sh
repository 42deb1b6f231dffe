#!/usr/bin/env bash
# Installs a Talvex05u build tree into a temporary prefix and builds programs
# against it: the consumer project through find_package, the same source
# through pkg-config (it defines its own copies of the library's internal names),
# and examples/. Runs the consumers and checks their output, and runs the
# installed talvex program without LD_LIBRARY_PATH. With the Python module
# built, imports the installed module (found through its own RPATH, no library
# path set) and runs a data block through it. The temporary prefix is always removed.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR [CXX_COMPILER] [SANITIZE] [PYTHON]
set -euo pipefail
build_dir=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
cxx=${3:-c++}
sanitize=${4:-}
python=${5:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/talvex-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
root="$work/root"

cmake --install "$build_dir" --prefix "$root" >"$work/install.log" || { cat "$work/install.log"; exit 1; }
pc_file=$(find "$root" -name talvex05u.pc | head -n 1)
lib_file=$(find "$root" -name 'libtalvex05u.so*' | head -n 1)
[ -n "$pc_file" ] || { echo "no talvex05u.pc installed"; exit 1; }
[ -n "$lib_file" ] || { echo "no libtalvex05u.so installed"; exit 1; }
lib_dir=$(dirname "$lib_file")

exported=$(nm -D --defined-only -C "$lib_file" | cut -d' ' -f3-)
for internal in '^talvex::PendingCalls' '^talvex::WaiterReads' '^talvex::memtimeInit' '^talvex::ChunkReassembly' '^std::'; do
  if grep -q "$internal" <<<"$exported"; then echo "internal name exported: $internal"; exit 1; fi
done
grep -q 'CRP_CallerEx::CallProcedure' <<<"$exported" || { echo "CRP_CallerEx::CallProcedure not exported"; exit 1; }

# Flags the library itself was built with that its users must share.
extra_flags=()
case "$sanitize" in
  address) extra_flags=(-fsanitize=address,undefined) ;;
  thread) extra_flags=(-fsanitize=thread) ;;
esac

check_output() {   # check_output NAME OUTPUT: the consumer reports "consumer: ok ..."
  grep -q '^consumer: ok ' <<<"$2" || { echo "$2"; echo "$1: unexpected output"; exit 1; }
}

cmake -S "$source_dir/tests/install/consumer" -B "$work/consumer-cmake" \
  -DCMAKE_PREFIX_PATH="$root" -DCMAKE_CXX_COMPILER="$cxx" >"$work/configure.log" \
  || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/consumer-cmake" -j2
check_output "find_package consumer" "$("$work/consumer-cmake/consumer")"

# The installed .pc file names the configured prefix; point it at this one.
pc_flags=$(PKG_CONFIG_PATH="$(dirname "$pc_file")" pkg-config --define-variable=prefix="$root" \
  --cflags --libs talvex05u)
# shellcheck disable=SC2086
"$cxx" "${extra_flags[@]}" "$source_dir/tests/install/consumer/consumer.cpp" $pc_flags -o "$work/consumer-pc"
check_output "pkg-config consumer" "$(LD_LIBRARY_PATH="$lib_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$work/consumer-pc")"

if [ -x "$root/bin/talvex" ]; then
  (unset LD_LIBRARY_PATH; "$root/bin/talvex" --help >"$work/talvex-help.log" 2>&1) \
    || { cat "$work/talvex-help.log"; echo "installed talvex does not run"; exit 1; }
else
  echo "talvex not built: its run path is not checked"
fi

cmake -S "$source_dir/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$root" \
  -DCMAKE_CXX_COMPILER="$cxx" >"$work/examples.log" || { cat "$work/examples.log"; exit 1; }
cmake --build "$work/examples" -j2
if [ -n "$python" ]; then
  module=$(find "$root" -name 'talvex05u*.so' | head -n 1)
  [ -n "$module" ] || { echo "no talvex05u Python module installed"; exit 1; }
  [ -f "$(dirname "$module")/talvex05u.pyi" ] || { echo "no talvex05u.pyi next to the module"; exit 1; }
  output=$(env -u LD_LIBRARY_PATH PYTHONPATH="$(dirname "$module")" "$python" -c \
    'import talvex05u; b = talvex05u.Block.of_words([1, 2], procedure=3); print("consumer: ok", b.words())')
  check_output "Python module" "$output"
fi
