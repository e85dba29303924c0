#!/usr/bin/env bash
# Installs every Debian package needed to build, test, benchmark and run Quorvale.
# Idempotent: does nothing when everything is present. Works as root or through sudo.
set -euo pipefail

# The guest kernel is built from source where the repository has a configuration for it (x86);
# elsewhere the image uses Debian's cloud kernel.
case "$(dpkg --print-architecture)" in
  arm64) qemu_pkg=qemu-system-arm kernel_build=() ;;
  *) qemu_pkg=qemu-system-x86 kernel_build=(linux-source make bc bison flex libelf-dev) ;;
esac

packages=(
  # toolchain
  build-essential g++ cmake ninja-build pkg-config git clang-format
  # fuzz targets: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # libraries
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-image-formats-plugins qcoro-qt6-dev
  libboost-json1.81-dev libudev-dev libblkid-dev libxcb1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # the FUSE mount, and what its tests run on it
  libfuse3-dev fuse3 sqlite3 rsync
  # the VM: emulator, guest image tools (the cloud kernel package is fetched with apt-get download)
  "$qemu_pkg" qemu-utils cpio kmod xz-utils zstd lz4 binutils
  # the guest kernel built for the VM: its source and what building it needs
  "${kernel_build[@]}"
  # disk images and their checks (the static e2fsck also goes into the VM image); the
  # damaged-card generator; a real udev daemon for tests
  e2fsprogs e2fsck-static fdisk dosfstools util-linux python3 udev
  # helper installation and privilege
  pkexec systemd passwd
  # user interface: headless display, fonts, icon themes
  xvfb xauth fonts-dejavu-core adwaita-icon-theme breeze-icon-theme hicolor-icon-theme
  # benchmark peers
  hyperfine
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
