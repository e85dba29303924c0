#!/bin/bash
# Apply of staged uploads against a direct upload of the same bytes, each on a fresh copy of the
# same ext4 image, alternating, ROUNDS times (5); prints each run and the medians. Both timings
# include the VM's boot and shutdown, as a user running the commands sees them.
#   bench_staged [MIB]   (100 MiB of uploads by default)
set -euo pipefail
cli="@PROJECT_BINARY_DIR@/bin/quorvale-cli"
mib="${1:-100}"
rounds="${ROUNDS:-5}"
work="$(mktemp -d /tmp/bench-staged.XXXXXX)"
trap 'rm -rf "$work"' EXIT
export XDG_CACHE_HOME="$work/cache"

mkdir -p "$work/tree"
echo "hello" > "$work/tree/hello.txt"
truncate -s $((mib * 3 + 64))M "$work/card.img"
mkfs.ext4 -q -F -d "$work/tree" "$work/card.img"
# Uploads of 10 MiB each, random bytes (nothing for qcow2 or ext4 to shortcut).
mkdir -p "$work/up"
for ((i = 0; i < mib / 10; i++)); do
    head -c $((10 * 1024 * 1024)) /dev/urandom > "$work/up/part$i.bin"
done

seconds() { date +%s.%N; }
minus() { awk -v a="$1" -v b="$2" 'BEGIN {print a - b}'; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

echo "load: $(uptime | sed 's/.*load average: //')"
direct=() apply=()
for ((r = 1; r <= rounds; r++)); do
    cp --sparse=always "$work/card.img" "$work/direct.img"
    start=$(seconds)
    "$cli" --ready-timeout 120 put -r "$work/direct.img" "$work/up" / >/dev/null 2>&1
    direct+=("$(minus "$(seconds)" "$start")")

    cp --sparse=always "$work/card.img" "$work/staged.img"
    rm -f "$work/session"
    "$cli" --ready-timeout 120 --session "$work/session" put -r "$work/staged.img" "$work/up" / \
        >/dev/null 2>&1
    start=$(seconds)
    "$cli" --ready-timeout 120 --session "$work/session" apply "$work/staged.img" >/dev/null 2>&1
    apply+=("$(minus "$(seconds)" "$start")")
    # The same files either way.
    cmp <(debugfs -R "cat /up/part0.bin" "$work/direct.img" 2>/dev/null) "$work/up/part0.bin"
    cmp <(debugfs -R "cat /up/part0.bin" "$work/staged.img" 2>/dev/null) "$work/up/part0.bin"
    printf 'round %d: direct upload %.2f s, apply %.2f s\n' "$r" "${direct[-1]}" "${apply[-1]}"
done
d=$(printf '%s\n' "${direct[@]}" | median)
a=$(printf '%s\n' "${apply[@]}" | median)
printf 'median of %d: direct upload of %d MiB %.2f s, apply of the same staged %.2f s, ratio %.2f (target <= 1.5)\n' \
    "$rounds" "$mib" "$d" "$a" "$(awk -v a="$a" -v d="$d" 'BEGIN {print a / d}')"
echo "load: $(uptime | sed 's/.*load average: //')"
