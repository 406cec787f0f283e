#!/bin/bash
# run_fuzz.sh <target> <seconds> <build folder> <seed corpus>
# Builds the fuzz targets with clang and runs one for a bounded time; exit 77 = skipped.
set -euo pipefail
target=$1 seconds=$2
build=$(realpath -m "$3") seeds=$(realpath -m "$4")
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v clang++ >/dev/null; then echo "clang++ not installed: skipping"; exit 77; fi
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long){return 0;}' \
     | clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
  echo "libFuzzer not available: skipping"; exit 77
fi

cmake -S "$here/standalone" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "fuzz_$target" -j "$(nproc)"

work=$(mktemp -d /tmp/kestra-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
# What a run learns stays in the build folder, so each short run goes on from the last.
corpus="$build/corpus/$target"
mkdir -p "$corpus" "$work/home"
# The code under test may log: keep it inside the scratch folder.
export KESTRA_SYSTEM_ROOT="$work" HOME="$work/home" XDG_STATE_HOME="$work/home/state" XDG_CONFIG_HOME="$work/home/config"
cd "$work"
set +e
"$build/fuzz_$target" -max_total_time="$seconds" -max_len=65536 -timeout=20 -rss_limit_mb=4096 \
  -print_final_stats=1 -error_exitcode=1 -timeout_exitcode=1 "$corpus" "$seeds" 2>&1 | tail -n 25
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
  echo "fuzz_$target found a failure; reproducer kept:"
  mkdir -p "$build/crashes" && cp -v "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$build/crashes/" 2>/dev/null || true
fi
exit "$status"
