#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer in build/asan, runs
# the whole test suite (the fuzz test included) and a leak check of the fuzz cases under them,
# and fails on any sanitizer report.
#
#   tools/sanitize.sh [pytest arguments]
#   DORV_FUZZ_CASES=50000 tools/sanitize.sh tests/test_fuzz.py     # a longer fuzz run
#
# Environment: PYTHON (default python3.11), DORV_JOBS (build jobs, default 2), DORV_LEAK_CASES
# (cases of the leak check, default 1000; 0 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/asan
# The interpreter itself, not a wrapper script, which would run under the preload too.
python=$("${PYTHON:-python3.11}" -c 'import sys; print(sys.executable)')

start=$(date +%s)
# One form of the kernels (the portable one: the others differ only in their vector width) at
# -O1, which keeps the checks and halves the build, and with line tables only (-g1): the
# reports' stack traces need no more, and full debug information costs a third more compiling.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DDORV_KERNEL_FORMS=sse2 \
  -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF -DDORV_SANITIZE=ON -DDORV_WERROR=ON \
  -DDORV_TESTING=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "${DORV_JOBS:-2}"
built=$(date +%s)
testing=$(echo "$build"/_dorv_testing*.so)

logs=$(mktemp -d)
leak_pid=""
trap '[ -z "$leak_pid" ] || kill "$leak_pid" 2>/dev/null || true; rm -rf "$logs"' EXIT
# Python is not instrumented, so the runtime must come first; libstdc++ is loaded with it so
# that the runtime can intercept C++ exceptions.
preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
# Requests above 4 GiB fail as malloc does under the tests' address-space cap, which the
# sanitizer cannot run under; they reach Python as MemoryError. Leak detection at exit is off:
# CPython and NumPy do not free their own objects at exit, and the leak check covers the
# extension instead.
limits="allocator_may_return_null=1:max_allocation_size_mb=4096"
status=0

# Leaks: the fuzz cases three times, with the interpreter allocating through malloc so that the
# checker sees the pointers inside Python objects; once the caches are warm, a pass must leave
# no more unreachable memory than the one before. The driver reads the checker's reports from
# its standard error. It is one process: it runs beside the suite, on the time the suite leaves
# a core idle.
leak_cases=${DORV_LEAK_CASES:-1000}
if [ "$leak_cases" -gt 0 ]; then
  LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=1:leak_check_at_exit=0:$limits" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan" \
    PYTHONPATH="$build" "$python" tests/fuzz_driver.py --cases "$leak_cases" \
    --leak-check >"$logs/leak-check" 2>&1 &
  leak_pid=$!
fi

LD_PRELOAD="$preload" ASAN_OPTIONS="detect_leaks=0:$limits:log_path=$logs/asan" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan" \
  DORV_TESTING_MODULE="$testing" PYTHONPATH="$build:." "$python" -m pytest -p no:cacheprovider \
  "$@" || status=$?

if [ "$leak_cases" -gt 0 ]; then
  leak_status=0
  wait "$leak_pid" || leak_status=$?
  leak_pid=""
  grep -E "^(leak check|fuzz):" "$logs/leak-check" || true
  if [ "$leak_status" -ne 0 ]; then
    grep -A 200 -E "^FAIL|Sanitizer|Fatal Python error" "$logs/leak-check" | head -400
    status=1
  fi
fi
done=$(date +%s)

# Reports (a failed allocation under the 4 GiB limit is only a warning).
reports=$(cat "$logs"/asan.* "$logs"/ubsan.* 2>/dev/null |
  grep -E "ERROR: (Address|Leak)Sanitizer|runtime error:|SUMMARY: UndefinedBehaviorSanitizer" ||
  true)
if [ -n "$reports" ]; then
  cat "$logs"/asan.* "$logs"/ubsan.* 2>/dev/null
  echo "sanitize: $(grep -c . <<<"$reports") sanitizer reports" >&2
  status=1
else
  echo "sanitize: no sanitizer reports"
fi
echo "sanitize: build $((built - start)) s, tests $((done - built)) s"
exit "$status"
