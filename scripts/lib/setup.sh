# Shared by the scripts: installs the Debian packages the build and the tests need, only those
# that are missing, so that a second run does not touch the network.

# What building and running quarn needs.
quarn_run_packages=(
  g++ cmake ninja-build pkg-config
  libargtable2-dev libstb-dev zlib1g-dev libdeflate-dev
)
# What the tests, the fuzz targets and the benchmarks need besides.
quarn_test_packages=(
  git
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-can can-utils
  clang libclang-rt-14-dev clang-format
  util-linux time
  groff-base man-db dpkg-dev
  # tests/cluster/: a Slurm cluster of one node (the daemons and clients only, not the
  # slurm-wlm metapackage) and GNU parallel.
  slurmctld slurmd slurm-client munge parallel
)

# ensure_run_packages [more...]: what scripts/run needs; ensure_packages [more...]: everything.
ensure_run_packages() { install_missing "${quarn_run_packages[@]}" "$@"; }
ensure_packages() { install_missing "${quarn_run_packages[@]}" "${quarn_test_packages[@]}" "$@"; }

install_missing() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Configures (once) and builds a tree: build_tree DIR [cmake args...]
build_tree() {
  local dir=$1
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc)"
}
