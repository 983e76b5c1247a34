#!/usr/bin/env bash
# Installs the Debian packages a task needs, when they are missing.
# Usage: scripts/install-deps.sh GROUP...   (groups: build qt fuse taggers faults gui fuzz windows bench package)
set -euo pipefail

packages=()
for group in "$@"; do
  case "$group" in
    build)   packages+=(cmake g++ make libgtest-dev) ;;
    qt)      packages+=(qt6-base-dev libgl-dev) ;;
    fuse)    packages+=(fuse python3-fusepy) ;;
    gui)     packages+=(xvfb openbox xdotool x11-utils imagemagick) ;;
    fuzz)    packages+=(clang-14 libclang-rt-14-dev) ;;
    windows) packages+=(g++-mingw-w64-x86-64 wine64 wine) ;;
    bench)   packages+=(kid3-cli libimage-exiftool-perl eyed3) ;;
    package) packages+=(dpkg-dev file lintian appstream desktop-file-utils man-db bash-completion) ;;
    taggers) packages+=(python3-mutagen eyed3 id3v2) ;;
    faults)  packages+=(strace) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
