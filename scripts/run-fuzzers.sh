#!/usr/bin/env bash
# Runs every fuzz target of a `fuzz` build for FUZZ_SECONDS each (default 180), one after the
# other, under nice. Each starts from its committed seeds (fuzz/corpus/<target>) plus what
# earlier runs found (build-fuzz/fuzz-runs/<target>/corpus, where new inputs go); crashes land
# in build-fuzz/fuzz-runs/<target>/. With FUZZ_RUNS, a target also stops after that many
# executions. Prints executions and findings per target; exits 1 when any target found
# something. Usage: run-fuzzers.sh [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-180}
runs_limit=()
if [ -n "${FUZZ_RUNS:-}" ]; then
  runs_limit=(-runs="$FUZZ_RUNS")
fi
build=${FUZZ_BUILD_DIR:-build-fuzz}
runs=$build/fuzz-runs

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for program in "$build"/fuzz/*_fuzzer; do
    targets+=("$(basename "$program")")
  done
fi

# Longest input per target: disk images need room for a partition table and a superblock.
max_len() {
  case "$1" in
    disk_image_fuzzer) echo 131072 ;;
    ext_superblock_fuzzer) echo 8192 ;;
    *) echo 16384 ;;
  esac
}

failed=()
printf '%-24s %12s %10s %8s  %s\n' target executions exec/s corpus findings
for target in "${targets[@]}"; do
  program=$build/fuzz/$target
  dir=$runs/$target
  mkdir -p "$dir/corpus" "$dir/earlier"
  # Findings of earlier runs are kept aside; only this run's count.
  find "$dir" -maxdepth 1 -type f ! -name last-run.log -exec mv -t "$dir/earlier" {} +
  log=$dir/last-run.log
  status=0
  # Absolute paths: the targets that confine themselves check which directories they write.
  nice -n 19 "$program" -max_total_time="$seconds" "${runs_limit[@]}" -timeout=10 \
    -max_len="$(max_len "$target")" \
    -print_final_stats=1 -artifact_prefix="$(realpath "$dir")/" \
    "$(realpath "$dir/corpus")" "$(realpath "fuzz/corpus/$target")" >"$log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  corpus=$(find "$dir/corpus" -type f | wc -l)
  findings=$(find "$dir" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' \
    -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  printf '%-24s %12s %10s %8s  %s\n' "$target" "${executions:-?}" "${rate:-?}" "$corpus" \
    "$findings"
  if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    failed+=("$target")
    grep -m1 -E 'fuzz check failed|ERROR: ' "$log" | sed 's/^/    /' || true
    echo "    log: $log"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]}" >&2
  exit 1
fi
