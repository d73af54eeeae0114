#!/bin/sh
# Runs a subset of the Python tests under valgrind memcheck and fails when an error report has a frame
# in the kiv or kivio._core extension (the modules' own shared objects, which hold the engine too).
# Reports that lie wholly in the interpreter or other libraries are counted but do not fail the run.
# The subset leaves out what is slow under valgrind or runs its work in child processes: huge inputs,
# the timed and long thread tests, the memory figures, the typing checks (mypy), the tests that
# start interpreters of their own, kivio's buffers meddled with during 48 MiB calls or read in 2 MB
# calls (its buffer kinds in smaller calls, and its large calls of bytes, stay in), and of the threaded
# streams' grids the pool's data sets and piece sizes and every thread count but 3 (the smaller tests stay
# in; the sanitizers run the grids whole).
# Usage: fuzz/valgrind_pytest.sh [extra pytest arguments]
# Environment: WORK (default /tmp/kiv-valgrind): venv, build tree and valgrind output go there.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
work=${WORK:-/tmp/kiv-valgrind}
mkdir -p "$work"
rm -f "$work"/memcheck.*.xml

if [ ! -x "$work/venv/bin/python" ]; then
    python3 -m venv --system-site-packages "$work/venv"
fi
# Build and test requirements (those of pyproject.toml); pip leaves what is already there.
"$work/venv/bin/pip" install --quiet $("$work/venv/bin/python" "$here/requirements.py")
echo "== building kiv with debug information"
"$work/venv/bin/pip" install --quiet --no-build-isolation --force-reinstall --no-deps \
    -C build-dir="$work/build" -C cmake.build-type=RelWithDebInfo "$root"
so=$("$work/venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("kiv").origin)')
core=$("$work/venv/bin/python" -c 'import kivio._core; print(kivio._core.__file__)')

deselect="not typing and not random_large and not without_the_interpreter_lock and not lost_result"
deselect="$deselect and not cannot_grow and not threads_under_load and not test_memory"
deselect="$deselect and not during_a_call and not huge_input and not buffer_kind_in_a_large_call"
deselect="$deselect and not every_data_set_and_piece_size and not (equals_one_compressor and not threads3)"
deselect="$deselect and not (serial_calls_interleave and not threads3)"
# The command's tests run their work in child processes, which memcheck does not follow; large inputs are
# covered by the sanitized run.
deselect="$deselect and not test_cli and not large_write_is_not_copied and not chunk_size_drives_the_result"
echo "== pytest under valgrind memcheck ($so, $core)"
status=0
(
    cd "$root"
    PYTHONMALLOC=malloc valgrind --tool=memcheck --error-limit=no --num-callers=40 \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --xml=yes --xml-file="$work/memcheck.%p.xml" \
        "$work/venv/bin/python" -m pytest -p no:cacheprovider -q -m "not slow" -k "$deselect" \
        tests/python tests/reliability tests/kivio "$@"
) || status=$?

# Every error whose stack passes through the module is a finding.
python3 - "$so" "$core" "$work"/memcheck.*.xml <<'PY' || status=1
import re
import sys
import xml.etree.ElementTree as ET

ours_objects, paths = set(sys.argv[1:3]), sys.argv[3:]
# One file per process (forked children write their own); each <error> block is read on its own, so a
# file cut short by an exec still counts.
errors = []
for path in paths:
    with open(path, errors="replace") as f:
        text = f.read()
    for block in re.findall(r"<error>.*?</error>", text, re.S):
        errors.append(ET.fromstring(block))
ours = []
for e in errors:
    frames = e.findall(".//frame")
    if any(f.findtext("obj", "") in ours_objects or f.findtext("fn", "").startswith("kiv_") for f in frames):
        ours.append(e)
print(f"valgrind: {len(errors)} error reports in {len(paths)} process logs, {len(ours)} with a kiv frame")
for e in ours:
    what = e.findtext("what") or e.findtext("xwhat/text") or e.findtext("kind")
    print(f"-- {e.findtext('kind')}: {what}")
    for f in e.findall(".//frame")[:15]:
        print(f"     {f.findtext('fn', '?')}  {f.findtext('file', '')}:{f.findtext('line', '')}  ({f.findtext('obj', '')})")
sys.exit(1 if ours else 0)
PY
echo "== valgrind_pytest: exit status $status"
exit $status
