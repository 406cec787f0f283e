#!/bin/bash
# Installs the Debian packages the suite needs to build, test and demo.
# Idempotent: installs only what is missing.
set -euo pipefail

PACKAGES=(
  # toolchain
  g++ cmake ninja-build pkg-config make clang libclang-rt-14-dev
  # libraries
  qt6-base-dev libplist-dev libssl-dev libavahi-client-dev libsecret-1-dev
  libarchive-dev libpam0g-dev
  # services and tools the tests start or call
  dbus dbus-daemon avahi-daemon avahi-utils gnome-keyring libsecret-tools xvfb
  ccache openssl zip unzip iproute2 sudo procps psmisc util-linux tcpdump
  # systemd-analyze checks the units the scheduling tool writes
  systemd
  # the cache tool's programs: font cache, desktop and MIME databases, icon caches
  fontconfig desktop-file-utils shared-mime-info gtk-update-icon-cache
  # software updates through the package manager: PackageKit (apt backend) and polkit;
  # the test builds a local package repository (dpkg-deb, dpkg-scanpackages)
  packagekit packagekit-tools polkitd dpkg-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "bootstrap: all ${#PACKAGES[@]} packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: missing packages: ${missing[*]}" >&2
  echo "bootstrap: run as root (or: sudo apt-get install --no-install-recommends ${missing[*]})" >&2
  exit 1
fi

echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A fresh machine has no package lists yet; refresh them once, not on every run.
if [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*_Packages' -print -quit 2>/dev/null)" ] \
   || ! apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "bootstrap: done"
