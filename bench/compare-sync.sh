#!/usr/bin/env bash
# Runs BM_SyncSequence (a first two-way sync, a sync after ten changes, a sync with nothing
# changed) of this build's command and of another build's, alternated round by round so both see
# the same machine load, each both with the allocator's huge pages off
# (GLIBC_TUNABLES=glibc.malloc.hugetlb=0) and as the command starts, then prints a table of
# every run: wall and CPU seconds, peak resident MB and page faults.
#
#   bench/compare-sync.sh BUILD_DIR OTHER_QUORVANE [ROUNDS] [SIZE]
# BUILD_DIR: a Release build with -DQUORVANE_BENCH=ON (target quorvane_bench_SyncRunBench);
# OTHER_QUORVANE: the other build's command (e.g. the previous release's build/bench/app/quorvane).
# ROUNDS defaults to 2, SIZE (contacts a side) to 10000. STARTS="hugetlb0 asis hugetlb1" adds runs
# with the allocator asking for huge pages (glibc.malloc.hugetlb=1).
set -euo pipefail
build=${1:?build folder}
other=${2:?the other quorvane command}
rounds=${3:-2}
size=${4:-10000}
bench="$build/bench/quorvane_bench_SyncRunBench"
this="$build/app/quorvane"
out=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-compare.XXXXXX")
echo "huge pages: enabled $(cat /sys/kernel/mm/transparent_hugepage/enabled), defrag $(cat /sys/kernel/mm/transparent_hugepage/defrag)"
echo "results in $out"
for round in $(seq 1 "$rounds"); do
  for start in ${STARTS:-hugetlb0 asis}; do
    for which in other this; do
      command=$other; [ "$which" = this ] && command=$this
      file="$out/$round-$which-$start.json"
      if [ "$start" != asis ]; then
        GLIBC_TUNABLES=glibc.malloc.hugetlb=${start#hugetlb} QUORVANE_BENCH_COMMAND="$command" "$bench" \
          --benchmark_filter="BM_SyncSequence/$size/0/" --benchmark_format=json >"$file" 2>"$file.err"
      else
        env -u GLIBC_TUNABLES QUORVANE_BENCH_COMMAND="$command" "$bench" \
          --benchmark_filter="BM_SyncSequence/$size/0/" --benchmark_format=json >"$file" 2>"$file.err"
      fi
      echo "round $round: $which $start done"
    done
  done
done
python3 - "$out" <<'PY'
import glob, json, os, sys
print(f"{'run':24} {'first s':>8} {'MB':>5} {'changes s':>9} {'cpu':>5} {'MB':>5} {'faults':>7} {'nothing s':>9} {'cpu':>5} {'MB':>5} {'faults':>7}")
for f in sorted(glob.glob(os.path.join(sys.argv[1], "*.json"))):
    try:
        b = json.load(open(f))["benchmarks"][0]
    except Exception as e:
        print(os.path.basename(f), "failed:", e); continue
    if "error_message" in b:
        print(os.path.basename(f), "failed:", b["error_message"]); continue
    g = lambda k: b.get(k, float("nan"))
    print(f"{os.path.basename(f)[:-5]:24} {g('first_s'):8.2f} {g('first_peak_MB'):5.0f} "
          f"{g('changes_s'):9.2f} {g('changes_cpu_s'):5.2f} {g('changes_peak_MB'):5.0f} {g('changes_faults'):7.0f} "
          f"{g('nothing_s'):9.2f} {g('nothing_cpu_s'):5.2f} {g('nothing_peak_MB'):5.0f} {g('nothing_faults'):7.0f}")
PY
