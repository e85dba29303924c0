#!/usr/bin/env bash
# Builds the guest kernel from Debian's linux-source tarball with our configuration, once per
# cache:
#
#   build-kernel.sh SOURCE_TARBALL CONFIG_FRAGMENT CACHE_DIR OUT_KERNEL
#
# CACHE_DIR/kernel-<key>/vmlinux is the finished kernel for one tarball, configuration, compiler
# and recipe; later builds (from any build tree pointing at the same cache) copy it
# out. The unpacked source and the object tree stay in the cache as well, so a changed
# configuration rebuilds only what it touches. The compiler runs at the lowest CPU priority, one
# build per cache at a time, and every result is published by a rename only when complete.
#
# The configuration is applied on top of `allnoconfig`; a symbol that does not end up as the
# fragment sets it (a dependency the fragment lacks) fails the build instead of silently
# producing a kernel without it. The kernel is shipped as its ELF with a PVH entry point, which
# QEMU starts without the bzImage's decompression.
set -euo pipefail

tarball=$(realpath -m "$1") fragment=$(realpath -m "$2") cache=$(realpath -m "$3")
out=$(realpath -m "$4")
jobs=${QUORVALE_KERNEL_JOBS:-$(nproc)}

[ -f "$tarball" ] || { echo "vm-kernel: no kernel source at $tarball (install linux-source)" >&2; exit 1; }
# What the kernel is made from: the source tarball, the configuration, the compiler and the way
# this script builds it (raise recipe when a change to this script changes the kernel it makes).
recipe=1
tarball_id=$(stat -Lc '%n %s %Y' "$tarball")
key=$({ echo "$tarball_id recipe $recipe"; gcc -dumpfullversion; cat "$fragment"; } | sha256sum | cut -c1-16)
source_key=$(echo "$tarball_id" | sha256sum | cut -c1-16)
result=$cache/kernel-$key/vmlinux

publish() {
  mkdir -p "$(dirname "$out")"
  cp "$result" "$out.tmp"
  mv "$out.tmp" "$out"
  echo "vm-kernel: $1 kernel-$key ($(du -k "$out" | cut -f1) KiB)"
}

if [ -f "$result" ]; then
  publish cached
  exit 0
fi

mkdir -p "$cache"
exec 9>"$cache/.lock"
if ! flock -n 9; then
  echo "vm-kernel: waiting for another build of the kernel cache $cache"
  flock 9
fi
if [ -f "$result" ]; then
  publish "built elsewhere:"
  exit 0
fi

source=$cache/source-$source_key
objects=$cache/objects-$source_key
if [ ! -f "$source/Makefile" ]; then
  # A new tarball: its predecessor's source and objects are of no further use.
  rm -rf "$cache"/source-* "$cache"/objects-* "$cache"/.unpack.*
  echo "vm-kernel: unpacking $(basename "$tarball")"
  unpack=$(mktemp -d "$cache/.unpack.XXXXXX")
  nice -n 19 tar -xf "$tarball" -C "$unpack" --strip-components=1
  mv "$unpack" "$source"
fi

mkdir -p "$objects"
log=$objects/build.log
# Through ccache where there is one: a new tarball or a changed configuration then recompiles
# only the files that really changed.
compiler=gcc
! command -v ccache >/dev/null || compiler="ccache gcc"
kmake() { nice -n 19 make -C "$source" O="$objects" -j"$jobs" CC="$compiler" "$@" >>"$log" 2>&1; }
: >"$log"
started=$SECONDS
echo "vm-kernel: building with $jobs jobs (log: $log)"
if ! KCONFIG_ALLCONFIG=$fragment kmake allnoconfig; then
  tail -n 30 "$log" >&2
  exit 1
fi

# Every line of the fragment must hold in the final configuration.
missing=()
while IFS= read -r line; do
  case "$line" in
    CONFIG_*=*) grep -qxF -- "$line" "$objects/.config" || missing+=("$line") ;;
    "# CONFIG_"*" is not set")
      symbol=${line#\# }; symbol=${symbol%% *}
      ! grep -q "^$symbol=" "$objects/.config" || missing+=("$line") ;;
  esac
done <"$fragment"
if [ ${#missing[@]} -gt 0 ]; then
  echo "vm-kernel: the configuration does not hold (missing dependencies?):" >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi

if ! kmake vmlinux; then
  tail -n 30 "$log" >&2
  exit 1
fi
if ! readelf -n "$objects/vmlinux" | grep -Eq 'Xen.*(0x00000012|PHYS32)'; then
  echo "vm-kernel: the kernel has no PVH entry point" >&2
  exit 1
fi

stage=$(mktemp -d "$cache/.kernel-$key.XXXXXX")
# Without symbols or comments, as the bzImage carries it.
objcopy -R .comment -S "$objects/vmlinux" "$stage/vmlinux"
cp "$objects/.config" "$stage/config"
rm -rf "$cache/kernel-$key"
mv "$stage" "$cache/kernel-$key"
echo "vm-kernel: built in $((SECONDS - started)) s"
publish built
