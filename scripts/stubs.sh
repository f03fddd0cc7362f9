#!/usr/bin/env bash
# Generates the type stubs of the native modules with pybind11-stubgen from the
# installed module: OUT/norvi_gpu-stubs/__init__.pyi and OUT/norvi/_parts.pyi
# (OUT defaults to python/, where the shipped stubs live).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
OUT=${1:-python}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$PY" -m pybind11_stubgen --numpy-array-wrap-with-annotated -o "$tmp" norvi_gpu >/dev/null
"$PY" -m pybind11_stubgen --numpy-array-wrap-with-annotated -o "$tmp" norvi._parts >/dev/null
mkdir -p "$OUT/norvi_gpu-stubs" "$OUT/norvi"
# simulate_forward's layer_heights has no default but follows nx and ny, which
# have: Python cannot write that signature, so the stubs give it "= ..."
# where the next argument has a default (not in the private part form).
fix='s/(layer_heights: typing\.Annotated\[[^]]*\])(, [a-z_]+: [^,=]*= )/\1 = ...\2/'
# PTX_DIR is where this installation keeps the device programs: the stubs
# give its type, not this machine's folder.
ptx='s/^PTX_DIR: str = .*$/PTX_DIR: str/'
sed -E -e "$fix" -e "$ptx" "$tmp/norvi_gpu.pyi" > "$OUT/norvi_gpu-stubs/__init__.pyi"
sed -E "$fix" "$tmp/norvi/_parts.pyi" > "$OUT/norvi/_parts.pyi"
