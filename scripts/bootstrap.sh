#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine: cross compilers,
# Wine (64- and 32-bit), a headless X server, fonts, ImageMagick, GoogleTest,
# Google Benchmark, OpenSSL's headers, clang's fuzzer runtime, and a 32-bit x86 compiler
# with qemu to run its output where the kernel cannot execute 32-bit code; for a release, git,
# openssl, osslsigncode and python3-pefile; tesseract with its Japanese data, which reads the
# message boxes of the contact sheet back.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-multilib qemu-user clang libclang-rt-14-dev python3
  mingw-w64 wine wine32:i386 wine64 xvfb xauth fonts-noto-cjk imagemagick
  googletest libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
  git openssl osslsigncode python3-pefile
  tesseract-ocr tesseract-ocr-jpn
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "bootstrap: need root or sudo to install packages" >&2; exit 1; }
  sudo="sudo"
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
