#!/usr/bin/env bash
# Installs what NORVI needs on a Debian 12 machine, as root: the compiler
# tool chain, Embree and GoogleTest from Debian, and the Python packages from
# PyPI. Does nothing when everything is already there; stops with the missing
# piece named when something cannot be installed.
set -euo pipefail

PY=${PYTHON:-python3}
fail() { echo "setup: $*" >&2; exit 1; }

command -v "$PY" >/dev/null || fail "no $PY on the PATH (Python 3.11 or newer is needed)"
"$PY" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 11) else 1)' \
  || fail "$PY is $("$PY" --version 2>&1); Python 3.11 or newer is needed"

# Debian packages: name of the package, and a file that proves it is installed.
apt_pkgs=(g++ cmake ninja-build pkg-config libembree-dev libgtest-dev patchelf)
missing=()
for p in "${apt_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || fail "missing Debian packages (${missing[*]}); run this script as root"
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null || fail "apt-get update failed"
  apt-get install -y -q "${missing[@]}" >/dev/null || fail "apt-get could not install: ${missing[*]}"
  for p in "${missing[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
      || fail "Debian package $p is still missing after apt-get install"
  done
fi

# Python packages: import name and PyPI requirement.
py_pkgs=("pybind11:pybind11>=2.13" "numpy:numpy" "pytest:pytest"
         "scikit_build_core:scikit-build-core>=0.8" "matplotlib:matplotlib" "laspy:laspy"
         "distributed:dask[distributed]" "tqdm:tqdm" "trimesh:trimesh" "prosail:prosail"
         "pvlib:pvlib" "xarray:xarray" "h5netcdf:h5netcdf" "rioxarray:rioxarray" "lazrs:lazrs"
         "pybind11_stubgen:pybind11-stubgen" "auditwheel:auditwheel" "mypy:mypy")
need=()
for entry in "${py_pkgs[@]}"; do
  mod=${entry%%:*}; req=${entry#*:}
  "$PY" -c "import $mod" 2>/dev/null || need+=("$req")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: pip installing ${need[*]}"
  "$PY" -m pip install -q --root-user-action=ignore "${need[@]}" || fail "pip could not install: ${need[*]}"
  for entry in "${py_pkgs[@]}"; do
    mod=${entry%%:*}
    "$PY" -c "import $mod" 2>/dev/null || fail "Python package $mod is still missing after pip install"
  done
fi
exit 0
