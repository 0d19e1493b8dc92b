#!/usr/bin/env bash
# Runs every benchmark: the C++ ones from build/bench, the Python ones with
# the venv's interpreter, then plots the Python ones' results into docs/
# (bench/plot.py). `make bench` builds everything first.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(pwd)/build/venv/bin/python
for b in build/bench/*_bench build/bench/egraph/*_bench; do
  [ -x "$b" ] || continue
  echo "== $b"
  "$b"
done
for b in bench/*_bench.py; do
  echo "== $b"
  (cd bench && "$py" "$(basename "$b")")
done
echo "== bench/reduce_bench.py --shapes"
(cd bench && "$py" reduce_bench.py --shapes)
echo "== bench/record_bench.py --shapes"
(cd bench && "$py" record_bench.py --shapes)
"$py" bench/plot.py
