#!/bin/sh
# Installs what is missing, builds with g++ and clang, and runs the whole suite.
set -eu
cd "$(dirname "$0")"
tools/deps.sh
jobs=$(nproc)

# clang must build the appliance programs warning-free as well.
cmake -S . -B build-clang -DCMAKE_CXX_COMPILER=clang++ -DORVO_BUILD_TESTS=OFF >/dev/null
cmake --build build-clang -j "$jobs"

cmake -S . -B build -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
tools/check-libs.sh build/orvo-udpd build/orvo-udpc

# Most tests spend their time waiting on the daemon, not on the CPU.
cd build
ctest --output-on-failure -j 8 --timeout 300
