#!/usr/bin/env bash
# Makes a sample SD-card image: MBR with p1 FAT32 "boot" and p2 ext4 "rootfs" holding a small,
# realistic tree (photos, text and source files, nested folders, a symbolic link, a 200 MB
# file). Needs no root: the partitions are built as files and spliced into the image with dd.
# Usage: make-sample-image.sh OUT. Does nothing when OUT is newer than this script.
set -euo pipefail

out=${1:?usage: make-sample-image.sh OUT}
if [[ -f $out && $out -nt ${BASH_SOURCE[0]} ]]; then
    echo "$out is up to date"
    exit 0
fi
export PATH=$PATH:/usr/sbin:/sbin
mkdir -p "$(dirname "$out")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

boot_mib=64
root_mib=320
tree=$work/rootfs
mkdir -p "$tree"/{home/pi/Pictures/2024/summer,home/pi/Documents/notes,home/pi/projects/blink/src}
mkdir -p "$tree"/{etc,var/log,opt/data,boot-notes}

# Photos: real PNG files (gradients) written without any imaging library.
python3 - "$tree/home/pi/Pictures" <<'PY'
import struct, sys, zlib, math
root = sys.argv[1]
def png(path, w, h, fn):
    raw = b"".join(b"\0" + bytes(c for x in range(w) for c in fn(x, y)) for y in range(h))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
png(f"{root}/sunset.png", 320, 200, lambda x, y: (255 - y // 2, 90 + x // 4, 60 + y // 2))
png(f"{root}/2024/summer/beach.png", 320, 240,
    lambda x, y: (40 + y // 3, 140 + y // 3, 200) if y < 140 else (230, 200 - (y - 140), 140))
png(f"{root}/2024/summer/forest.png", 240, 240,
    lambda x, y: (20, 80 + int(60 * math.sin(x / 15.0)) + y // 6, 40))
png(f"{root}/2024/portrait.png", 200, 260,
    lambda x, y: (200, 170, 150) if (x - 100) ** 2 + (y - 110) ** 2 < 3600 else (60, 70, 110))
PY

cat > "$tree/home/pi/Documents/notes/todo.txt" <<'TXT'
- replace the SD card in the garden sensor
- back up /home/pi/projects before the upgrade
- order a 64 GB card
TXT
printf 'Shopping\n========\n\n* coffee\n* milk\n* bread\n' > "$tree/home/pi/Documents/notes/shopping.md"
printf 'date,temperature,humidity\n' > "$tree/opt/data/readings.csv"
for i in $(seq 1 200); do
    printf '2024-06-%02d,%d.%d,%d\n' $((i % 28 + 1)) $((15 + i % 12)) $((i % 10)) $((40 + i % 30))
done >> "$tree/opt/data/readings.csv"
cat > "$tree/home/pi/projects/blink/src/main.c" <<'C'
#include <stdio.h>
#include <unistd.h>

int main(void) {
    for (int i = 0; i < 10; ++i) {
        printf("blink %d\n", i);
        sleep(1);
    }
    return 0;
}
C
cat > "$tree/home/pi/projects/blink/Makefile" <<'MK'
blink: src/main.c
	cc -O2 -o $@ $<
MK
cat > "$tree/home/pi/projects/blink/blink.py" <<'PYSRC'
import time

for i in range(10):
    print("blink", i)
    time.sleep(1)
PYSRC
printf 'raspberrypi\n' > "$tree/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\traspberrypi\n' > "$tree/etc/hosts"
for i in $(seq 1 50); do echo "Jun 12 10:$((i % 60)):00 raspberrypi kernel: event $i"; done \
    > "$tree/var/log/syslog"
head -c 3000 /dev/urandom > "$tree/opt/data/firmware.bin"
ln -s Documents/notes/todo.txt "$tree/home/pi/todo-link.txt"
truncate -s 200M "$tree/opt/data/disk-backup.img"
echo "Notes for the boot partition live on p1." > "$tree/boot-notes/README"

mkfs.ext4 -q -F -L rootfs -E root_owner=1000:1000 -d "$tree" "$work/p2.img" "${root_mib}M" >/dev/null
truncate -s "${boot_mib}M" "$work/p1.img"
mkfs.vfat -F 32 -S 512 -s 1 -n BOOT "$work/p1.img" >/dev/null

image=$work/sdcard.img
truncate -s $((1 + boot_mib + root_mib))M "$image"
sfdisk --quiet "$image" <<SF
label: dos
start=1MiB, size=${boot_mib}MiB, type=c
start=$((1 + boot_mib))MiB, size=${root_mib}MiB, type=83
SF
dd if="$work/p1.img" of="$image" bs=1M seek=1 conv=notrunc,sparse status=none
dd if="$work/p2.img" of="$image" bs=1M seek=$((1 + boot_mib)) conv=notrunc,sparse status=none
mv "$image" "$out"
echo "wrote $out"
