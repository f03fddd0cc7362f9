#!/usr/bin/env bash
# Builds and installs the norvi_gpu module with pip (scikit-build-core, CMake),
# into the running Python. Extra arguments are passed to pip.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
BUILD_DIR=${NORVI_BUILD_DIR:-build/py}
"$PY" -m pip install --no-build-isolation -q --root-user-action=ignore \
  -Cbuild-dir="$BUILD_DIR" \
  -Ccmake.define.NORVI_BUILD_TESTS="${NORVI_BUILD_TESTS:-OFF}" \
  -Ccmake.define.NORVI_BUILD_BENCH="${NORVI_BUILD_BENCH:-OFF}" \
  "$@" .
