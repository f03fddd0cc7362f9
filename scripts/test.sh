#!/usr/bin/env bash
# Installs everything, builds the module with the C++ tests, then runs the
# whole suite: GoogleTest through CTest, and pytest on the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
bash scripts/setup.sh
NORVI_BUILD_TESTS=ON NORVI_BUILD_DIR=build/test bash scripts/build.sh
ctest --test-dir build/test --output-on-failure -j 2
"$PY" -m pytest tests/python -q
