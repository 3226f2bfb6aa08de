# Sourced by the scripts: installs the Debian packages the build needs when
# they are missing (as root), or says which are missing.
kov_install_deps() {
  local packages=(cmake ninja-build g++ pkg-config libtirpc-dev libgtest-dev libbenchmark-dev
                  clang libclang-rt-14-dev gfortran libcairo2-dev libsegyio-dev python3-segyio
                  pybind11-dev python3-dev python3-numpy python3-xarray python3-dask
                  python3-distributed python3-pytest python3-matplotlib "$@")
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq </dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
  else
    echo "missing packages (run as root to install them): ${missing[*]}" >&2
    return 1
  fi
}
