#!/usr/bin/env bash
# Installs from Debian's packages whatever building and testing need and the machine lacks.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
command -v pkg-config >/dev/null || need+=(pkg-config)
[[ -f /usr/include/gtest/gtest.h ]] || need+=(libgtest-dev)
[[ -f /usr/include/benchmark/benchmark.h ]] || need+=(libbenchmark-dev)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-dev)
if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq "${need[@]}" >/dev/null
fi
