#!/usr/bin/env bash
# Builds the guest resources: the kernel and an initramfs holding the agent as /init, the kernel
# modules it loads and their list, and Debian's static e2fsck (package e2fsck-static) for the
# read-only checks. Nothing else goes into the image.
#
#   build-image.sh CACHE_DIR OUT_DIR AGENT_BINARY MODULE_NAMES_FILE [KERNEL]
#
# KERNEL is a kernel built for the VM (build-kernel.sh) with every driver built in: it is shipped
# as it is, with no modules. Without it the kernel is Debian's cloud kernel (uncompressed where
# QEMU can start it so) with the modules named in MODULE_NAMES_FILE. Its package is fetched with
# `apt-get download` into CACHE_DIR and unpacked there; the cache is published by a rename only
# when complete, so a failed download leaves nothing behind and later builds work offline.
set -euo pipefail

cache=$1 out=$2 agent=$3 module_names=$4 built_kernel=${5:-}

case "$(dpkg --print-architecture)" in
  arm64) flavour=cloud-arm64 ;;
  amd64) flavour=cloud-amd64 ;;
  *) echo "vm-image: no Debian cloud kernel for $(dpkg --print-architecture)" >&2; exit 1 ;;
esac

kernel_tree=$cache/linux-image-$flavour
export PATH=$PATH:/usr/sbin:/sbin

# Downloads one package into the current directory; fails when no .deb arrived.
download() {
  apt-get download -q "$1" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true
  ls "$1"_*.deb >/dev/null 2>&1
}

fetch_kernel() {
  local work
  mkdir -p "$cache"
  work=$(mktemp -d "$cache/.fetch.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  (
    cd "$work"
    # Stale package lists name versions the archive no longer has: refresh them once.
    download "linux-image-$flavour" || { apt-get update -qq || true; download "linux-image-$flavour"; }
    meta=$(ls linux-image-"$flavour"_*.deb)
    # The meta package depends on exactly one versioned image package.
    image=$(dpkg-deb -f "$meta" Depends | sed -n 's/^\(linux-image-[^ ,]*\).*/\1/p')
    [ -n "$image" ] || { echo "vm-image: cannot read the kernel package of $meta" >&2; exit 1; }
    download "$image"
    dpkg-deb -x "$image"_*.deb tree
  )
  local version
  version=$(ls "$work/tree/lib/modules")
  # The package ships no modules.dep; compute it for this tree.
  depmod -b "$work/tree" "$version"
  [ -f "$work/tree/lib/modules/$version/modules.dep" ]
  rm -rf "$kernel_tree"
  mv "$work/tree" "$kernel_tree"
  rm -rf "$work"
  trap - EXIT
}


# Writes the kernel inside the bzImage $1 to $2 as the ELF it was built as, when that ELF has a
# PVH entry point: QEMU then starts it directly, which under TCG saves the quarter of a second
# the bzImage spends decompressing itself at every boot. Fails (writing nothing) otherwise, for
# instance on ARM, whose kernel is no bzImage.
uncompressed_kernel() {
  local image=$1 target=$2 magic tool offset
  [ "$(dpkg --print-architecture)" = amd64 ] || return 1
  # The payload's compression, as the kernel's own extract-vmlinux finds it.
  for magic in '\x02\x21\x4c\x18:lz4 -dc' '\x28\xb5\x2f\xfd:zstd -qdc' \
               '\xfd\x37\x7a\x58\x5a\x00:xz -qdc' '\x1f\x8b\x08:gzip -qdc'; do
    tool=${magic#*:}
    command -v "${tool%% *}" >/dev/null || continue
    for offset in $(LC_ALL=C grep -obUaP "${magic%%:*}" "$image" | cut -d: -f1); do
      # The payload is followed by the rest of the image: decompressors complain, the ELF is whole.
      tail -c+$((offset + 1)) "$image" | $tool >"$target" 2>/dev/null || true
      if readelf -n "$target" 2>/dev/null | grep -Eq 'Xen.*(0x00000012|PHYS32)'; then
        return 0
      fi
    done
  done
  rm -f "$target"
  return 1
}

# Copies the modules named in the list and their dependencies into the image, decompressed, and
# lists them in load order: modprobe prints each module after its dependencies (modules.dep).
collect_modules() {
  local version=$1 name kind path rel dest
  declare -A seen=()
  mkdir -p "$stage/lib/modules/$version"
  while read -r name; do
    while read -r kind path _; do
      [ "$kind" = insmod ] || continue
      rel=${path#"$kernel_tree"/}
      dest=${rel%.xz}; dest=${dest%.zst}; dest=${dest%.gz}
      [ -z "${seen[$dest]:-}" ] || continue
      seen[$dest]=1
      mkdir -p "$stage/$(dirname "$dest")"
      case "$path" in
        *.ko.xz) xz -dc "$path" >"$stage/$dest" ;;
        *.ko.zst) zstd -qdc "$path" >"$stage/$dest" ;;
        *.ko.gz) gzip -dc "$path" >"$stage/$dest" ;;
        *) cp "$path" "$stage/$dest" ;;
      esac
      echo "/$dest" >>"$stage/etc/quorvale/modules"
    done < <(modprobe -d "$kernel_tree" -S "$version" --show-depends "$name" 2>/dev/null || true)
  done < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$module_names")
}

mkdir -p "$(dirname "${out%/}")"
stage=$(mktemp -d "${out%/}.stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage"/{dev,proc,sys,mnt,etc/quorvale}
# The agent without its symbols: a smaller image loads faster.
strip --strip-all -o "$stage/init" "$agent"
chmod 0755 "$stage/init"
# The filesystem check the agent runs after unmounting; it finds mounts through /etc/mtab.
e2fsck_static=/sbin/e2fsck.static
[ -x "$e2fsck_static" ] || { echo "vm-image: $e2fsck_static missing: install e2fsck-static" >&2; exit 1; }
mkdir -p "$stage/sbin"
strip --strip-all -o "$stage/sbin/e2fsck" "$e2fsck_static"
chmod 0755 "$stage/sbin/e2fsck"
ln -s /proc/mounts "$stage/etc/mtab"

: >"$stage/etc/quorvale/modules"
mkdir -p "$out"

if [ -n "$built_kernel" ]; then
  cp "$built_kernel" "$out/vmlinuz.tmp"
  kernel_form="built for the VM"
else
  if [ ! -f "$kernel_tree/lib/modules/$(ls "$kernel_tree/lib/modules" 2>/dev/null | head -n1)/modules.dep" ]; then
    echo "vm-image: fetching linux-image-$flavour"
    fetch_kernel
  fi
  version=$(ls "$kernel_tree/lib/modules")
  kernel_form="$version, uncompressed"
  if ! uncompressed_kernel "$kernel_tree/boot/vmlinuz-$version" "$out/vmlinuz.tmp"; then
    kernel_form="$version, compressed"
    cp "$kernel_tree/boot/vmlinuz-$version" "$out/vmlinuz.tmp"
  fi
  collect_modules "$version"
fi

# Uncompressed newc: under TCG the kernel's gunzip costs more than copying the extra bytes.
find "$stage" -exec touch -h -d @0 {} +
(cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --reproducible --quiet) \
  >"$out/initramfs.img.tmp"
mv "$out/initramfs.img.tmp" "$out/initramfs.img"
mv "$out/vmlinuz.tmp" "$out/vmlinuz"
echo "vm-image: kernel $kernel_form, $(wc -l <"$stage/etc/quorvale/modules") modules"
