#!/usr/bin/env bash
# For a machine with an NVIDIA GPU and driver: builds the real module (and
# the test programs), runs the whole test suite against the real driver,
# then prints device_info(), compares one canopy image rendered on the GPU
# with simulate_cpu and times the two (scripts/gpu_check.py).
#   PYTHON=<interpreter> bash scripts/gpu_check.sh
set -uo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
status=0
nvidia-smi -L || true
NORVI_BUILD_TESTS=ON NORVI_BUILD_DIR=build/gpu bash scripts/build.sh || exit 1
ctest --test-dir build/gpu --output-on-failure -j "$(nproc)" || status=1
"$PY" -m pytest tests/python -q || status=1
"$PY" scripts/gpu_check.py || status=1
exit $status
