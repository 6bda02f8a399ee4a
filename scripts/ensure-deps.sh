#!/usr/bin/env bash
# Installs what is missing for the given groups (test, demo, bench); installs nothing on a second run.
set -euo pipefail
PYTHON=${PYTHON:-python3}

apt_pkgs=(g++ make libopenblas-dev liblapack-dev libtbb-dev libgtest-dev)
declare -A pip_mods=(
  [numpy]=numpy [pytest]=pytest [hypothesis]=hypothesis
  [scikit_build_core]=scikit-build-core [cmake]=cmake [ninja]=ninja
)
for group in "$@"; do
  case "$group" in
    test) pip_mods[sklearn]=scikit-learn; pip_mods[pandas]=pandas; pip_mods[tqdm]=tqdm; pip_mods[mypy]=mypy
          pip_mods[matplotlib]=matplotlib; pip_mods[dask]="dask[array]"; pip_mods[distributed]=distributed ;;
    demo) pip_mods[matplotlib]=matplotlib ;;
    bench) pip_mods[faiss]=faiss-cpu; pip_mods[sklearn]=scikit-learn; pip_mods[dask_ml]=dask-ml ;;
  esac
done

missing=()
for p in "${apt_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing Debian packages: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

want=()
for mod in "${!pip_mods[@]}"; do
  "$PYTHON" -c "import importlib.util,sys; sys.exit(importlib.util.find_spec('$mod') is None)" 2>/dev/null \
    || want+=("${pip_mods[$mod]}")
done
if ((${#want[@]})); then
  echo "installing Python packages: ${want[*]}"
  "$PYTHON" -m pip install -q "${want[@]}"
fi
