#!/usr/bin/env bash
# Installs everything, builds the module and runs the canopy demo on the CPU back end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
"${PYTHON:-python3}" examples/canopy_demo.py "$@"
