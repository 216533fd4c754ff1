#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
# Further packages may be named as arguments (the fuzzing script adds clang).
# The Python module needs the interpreter's headers, pybind11, numpy and scipy
# (pytest runs its tests); pkg-config checks the installed library.
packages=(build-essential cmake libmetis-dev libopenblas-openmp-dev liblapack-dev libgtest-dev
  python3-dev pybind11-dev python3-numpy python3-scipy python3-pytest pkg-config "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
