#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine: cross compilers,
# Wine (64- and 32-bit), a headless X server, fonts, ImageMagick, GoogleTest,
# Google Benchmark, OpenSSL's headers, clang's fuzzer runtime, and a 32-bit x86 compiler
# with qemu to run its output where the kernel cannot execute 32-bit code; for a release, git,
# openssl, osslsigncode and python3-pefile; tesseract with its Japanese data, which reads the
# message boxes of the contact sheet back; the C library's locales ja_JP.UTF-8 and en_US.UTF-8,
# the system locales of the scenarios' Wine sessions.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-multilib qemu-user clang libclang-rt-14-dev python3
  mingw-w64 wine wine32:i386 wine64 xvfb xauth fonts-noto-cjk imagemagick
  googletest libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
  git openssl osslsigncode python3-pefile
  tesseract-ocr tesseract-ocr-jpn
)

# The scenarios' locales (sim/scenario/run.py, LOCALES): enabled in /etc/locale.gen, made by
# locale-gen of the package locales. `locale -a` lists ja_JP.UTF-8 as ja_JP.utf8.
packages+=(locales)
locales=(ja_JP.UTF-8 en_US.UTF-8)
locales_present() {
  local l
  for l in "${locales[@]}"; do
    locale -a 2>/dev/null | grep -qixF "${l/UTF-8/utf8}" || return 1
  done
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && locales_present && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "bootstrap: need root or sudo to install packages" >&2; exit 1; }
  sudo="sudo"
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if ! locales_present; then
  echo "bootstrap: generating the locales ${locales[*]}"
  for l in "${locales[@]}"; do
    grep -qxF "$l UTF-8" /etc/locale.gen || $sudo sed -i "s/^# *$l UTF-8\$/$l UTF-8/" /etc/locale.gen
    grep -qxF "$l UTF-8" /etc/locale.gen || echo "$l UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
  done
  $sudo locale-gen >/dev/null
fi
