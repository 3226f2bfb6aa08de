# SPDX-License-Identifier: Apache-2.0
# Sourced by the scripts: installs the Debian packages the build needs when
# they are missing.  As root it runs apt-get itself; as another user it runs
# apt-get through sudo (and only that step), so that the build stays the
# user's.
kov_install_deps() {
  local packages=(cmake ninja-build g++ pkg-config libtirpc-dev libgtest-dev libbenchmark-dev
                  clang libclang-rt-14-dev gfortran libcairo2-dev libsegyio-dev python3-segyio
                  pybind11-dev python3-dev python3-numpy python3-scipy libfftw3-dev python3-xarray python3-dask libmuparser-dev
                  python3-distributed python3-pytest python3-matplotlib doxygen man-db
                  libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver python3-selenium
                  debhelper dh-python dpkg-dev fakeroot lintian libcurl4-openssl-dev libcurl4 nginx-light
                  openssl curl "$@")
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "missing packages: ${missing[*]}" >&2
      echo "run this script as root, or as a user with sudo, to install them" >&2
      return 1
    fi
    as_root=(sudo)
  fi
  echo "installing: ${missing[*]}"
  "${as_root[@]}" apt-get update -qq </dev/null
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}
