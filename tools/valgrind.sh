#!/usr/bin/env bash
# valgrind memcheck over a representative subset of the tests, against the
# installed module (make install) or PYTHONPATH's. Takes a few minutes.
#
#   tools/valgrind.sh                          # the default subset
#   tools/valgrind.sh test_frames.py -k data   # other tests / pytest arguments
#
# The interpreter allocates through malloc (PYTHONMALLOC=malloc) so memcheck
# sees every object. CPython itself leaves memory behind at exit and its
# string comparisons read past the end in ways memcheck reports, so the report
# is filtered: the run fails on any error or definite leak whose stack passes
# through the module or the engine (_corvel, libcorvel.so, their sources).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-$root/.venv/bin/python}
command -v valgrind >/dev/null || { echo "valgrind: apt-get install valgrind" >&2; exit 1; }

if [ $# -eq 0 ]; then
  set -- test_vora_string.py test_frames.py test_records.py test_engine_probe_api.py \
         test_rooms_membership.py
fi
log=$(mktemp /tmp/corvel-valgrind.XXXXXX)
cd "$root/tests"
status=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite --num-callers=40 --log-file="$log" \
  "$python" -m pytest -p no:cacheprovider -q -x "$@" || status=$?

filter=0
"$python" - "$log" <<'PY' || filter=$?
import re, sys
text = open(sys.argv[1]).read()
ours = re.compile(r"_corvel|libcorvel|corvel_binding|/engine/")
blocks, current = [], []
for line in text.splitlines():
    body = re.sub(r"^==\d+== ?", "", line)
    if not body:
        if current:
            blocks.append(current)
        current = []
    else:
        current.append(body)
if current:
    blocks.append(current)
# CPython 3.12 never frees the strings it interns (attribute, method and
# dict key names, most made while the module is imported): not leaks of ours.
interned = re.compile(r"PyUnicode_Intern|_PyUnicode_InternMortal|intern_string|"
                      r"PyObject_SetAttrString|PyObject_GetAttrString|"
                      r"PyDict_SetItemString|PyModule_ExecDef")
def is_ours(block):
    if not any(ours.search(line) for line in block):
        return False
    if "definitely lost" in block[0]:
        return not any(interned.search(line) for line in block)
    return True
found = [b for b in blocks
         if (b[0].startswith(("Invalid", "Conditional", "Use of uninit", "Syscall param",
                              "Mismatched", "Source and destination"))
             or "definitely lost" in b[0])
         and is_ours(b)]
for block in found:
    print("\n".join(block) + "\n")
print(f"valgrind: {len(found)} error(s) in the module or the engine (full log: {sys.argv[1]})")
sys.exit(1 if found else 0)
PY

[ "$status" = 0 ] || { echo "valgrind: the tests failed under valgrind (status $status)" >&2; exit "$status"; }
exit "$filter"
