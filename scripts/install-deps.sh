#!/usr/bin/env bash
# Installs from Debian's packages (Debian 12 or a derivative with apt) whatever building,
# testing, packaging and CI (.ci/run) need and the machine lacks, and says why each is needed.
# Installing needs root: as another user it names what is missing and stops, before apt runs.
# With everything present it prints one line and changes nothing.
# Usage: bash scripts/install-deps.sh      (as root, or: sudo bash scripts/install-deps.sh)
set -euo pipefail

packages=()
reasons=()
need() {  # need PACKAGE WHY
  packages+=("$1")
  reasons+=("$(printf '  %-16s %s' "$1" "$2")")
}
have() { command -v "$1" >/dev/null 2>&1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

# The program and the demo (scripts/demo.sh).
have cmake || need cmake "configures and drives every build"
have make || need make "builds what cmake configures"
have g++ || need g++ "compiles the program and the library (C++20)"
# The tests (the README's test command).
[[ -f /usr/include/gtest/gtest.h ]] || need libgtest-dev "GoogleTest, which the tests are written in"
have script || need bsdutils "script(1): runs the program on a pseudo-terminal for the progress-line tests"
have pkg-config || need pkg-config "scripts/check-install.sh builds a C program through lzw.pc"
# The rest of CI (.ci/run).
have clang++ || need clang "CI's second compiler, and the fuzzers"
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need libclang-rt-dev "libFuzzer and the sanitizer runtimes (fuzz/ci.sh)"
[[ -f /usr/include/benchmark/benchmark.h ]] || need libbenchmark-dev "Google Benchmark, for the benchmark build"
[[ -f /usr/include/zstd.h ]] || need libzstd-dev "zstd level 1, the peer of the context benchmark"
# The Python module, built and tested in CI's clang build (-DLZW_PYTHON=ON), for Debian's
# interpreter /usr/bin/python3.
[[ -f /usr/include/pybind11/pybind11.h ]] || need pybind11-dev "pybind11, which the Python module is written with"
installed python3-dev || need python3-dev "Python's headers, for the Python module"
/usr/bin/python3 -c "import pytest" >/dev/null 2>&1 || need python3-pytest "pytest, which the Python module's tests are written in"
# The module's fsspec, pandas and Dask parts, tested on a real Dask cluster (the module imports
# without them).
/usr/bin/python3 -c "import fsspec" >/dev/null 2>&1 || need python3-fsspec "fsspec: the lzw compression and the lzw:: filesystem"
/usr/bin/python3 -c "import dask.bag" >/dev/null 2>&1 || need python3-dask "Dask, whose read_text/read_csv the tests cut into partitions"
/usr/bin/python3 -c "import distributed" >/dev/null 2>&1 || need python3-distributed "dask.distributed: the tests' LocalCluster of worker processes"
/usr/bin/python3 -c "import pandas" >/dev/null 2>&1 || need python3-pandas "pandas: read_csv on lzw files, and Dask's dataframes"
have clang-format || need clang-format "the layout check of every source"
have git || need git "lists the sources for the layout check"
# The Debian packages (scripts/check-package.sh); every Build-Depends of debian/control is in
# this list.
have dpkg-buildpackage || need dpkg-dev "dpkg-buildpackage: builds the Debian packages from debian/"
installed build-essential || need build-essential "what dpkg-buildpackage requires of every build"
have dh || need debhelper "dh: the steps of debian/rules"
have dh_python3 || need dh-python "dh_python3: the dependencies of the python3-lzw package"
[[ -f /usr/include/xxhash.h ]] || need libxxhash-dev "xxhash.h: the checksums of framed files (XXH64)"
have strace || need strace "scripts/check-stream.sh: the files a framed run opens"
[[ -x /usr/bin/time ]] || need time "scripts/check-stream.sh: a framed run's peak memory"
have lintian || need lintian "checks the packages as Debian checks them (check-package.sh)"

if ((${#packages[@]} == 0)); then
  echo "install-deps: everything needed is installed"
  exit 0
fi

if ((EUID != 0)); then
  {
    echo "install-deps: these Debian packages are missing, and installing them needs root:"
    printf '%s\n' "${reasons[@]}"
    echo "Run: sudo bash scripts/install-deps.sh"
  } >&2
  exit 1
fi
if ! have apt-get; then
  {
    echo "install-deps: no apt-get here; install the equivalents of these Debian packages:"
    printf '%s\n' "${reasons[@]}"
  } >&2
  exit 1
fi

echo "install-deps: installing ${#packages[@]} Debian package(s), without recommended extras:"
printf '%s\n' "${reasons[@]}"
export DEBIAN_FRONTEND=noninteractive
# apt's errors (a mirror that cannot be reached, a name it does not know) stay on standard
# error; only its progress lines are left out.
apt-get update -q >/dev/null
apt-get install -y -q --no-install-recommends "${packages[@]}" >/dev/null
echo "install-deps: done"
