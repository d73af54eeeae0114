#!/bin/sh
# Builds the modules (kiv and kivio._core) with AddressSanitizer and UndefinedBehaviorSanitizer into a
# throwaway virtualenv and runs the Python tests (tests/python, tests/reliability and tests/kivio, slow
# ones excluded) against them.
# Fails on a test failure and on any sanitizer report, including reports from child processes.
# Usage: fuzz/asan_pytest.sh [extra pytest arguments]
# Environment: WORK (default /tmp/kiv-asan): venv, build tree and sanitizer logs go there.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
work=${WORK:-/tmp/kiv-asan}
mkdir -p "$work"
rm -rf "$work/logs"
mkdir -p "$work/logs"

if [ ! -x "$work/venv/bin/python" ]; then
    python3 -m venv --system-site-packages "$work/venv"
fi
# Build and test requirements (those of pyproject.toml); pip leaves what is already there.
"$work/venv/bin/pip" install --quiet $("$work/venv/bin/python" "$here/requirements.py")
echo "== building kiv with -fsanitize=address,undefined"
"$work/venv/bin/pip" install --quiet --no-build-isolation --force-reinstall --no-deps \
    -C build-dir="$work/build" -C cmake.define.KIV_SANITIZE=ON -C cmake.build-type=RelWithDebInfo "$root"

# Found without importing them: the sanitized modules load only with the runtime preloaded.
modules=$("$work/venv/bin/python" -c '
import glob, importlib.util as u, os
print(u.find_spec("kiv").origin)
print(glob.glob(os.path.join(os.path.dirname(u.find_spec("kivio").origin), "_core*.so"))[0])' 2>/dev/null || true)
for so in $modules; do
    case $(readelf -d "$so" 2>/dev/null | grep -c 'libasan') in
    0) echo "the module at $so is not linked with the address sanitizer" >&2; exit 1 ;;
    esac
done
[ "$(echo "$modules" | wc -w)" -eq 2 ] || { echo "kiv or kivio._core is not installed" >&2; exit 1; }

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
echo "== pytest under the sanitizers"
status=0
(
    cd "$root"
    # CPython leaks by design at exit, hence no leak checking. The allocator returns null like malloc
    # instead of reporting, so the module's allocation-failure paths run as in production.
    LD_PRELOAD="$asan:$ubsan" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:log_path=$work/logs/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$work/logs/ubsan" \
        "$work/venv/bin/python" -m pytest -p no:cacheprovider -q -m "not slow" tests/python tests/reliability tests/kivio "$@"
) || status=$?

if [ -n "$(ls -A "$work/logs")" ]; then
    echo "== sanitizer reports:" >&2
    cat "$work"/logs/* >&2
    status=1
fi
echo "== asan_pytest: exit status $status"
exit $status
