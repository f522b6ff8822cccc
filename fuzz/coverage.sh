#!/bin/sh
# Line coverage of src/ by the fuzzing corpus: builds the harness with clang's
# source-based coverage in build/fuzz/cov, replays fuzz/corpus and
# build/fuzz/corpus once, and prints llvm-cov's per-file report.
set -eu
cmake -S . -B build/fuzz/cov -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DQUORVEX_FUZZ=ON \
  -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_BENCH=OFF -DQUORVEX_BUILD_TOOLS=OFF \
  "-DCMAKE_CXX_FLAGS=-fprofile-instr-generate -fcoverage-mapping" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate" >/dev/null
cmake --build build/fuzz/cov -j 2 --target fuzz_capi >/dev/null
mkdir -p build/fuzz/corpus
rm -f build/fuzz/cov/replay.profraw
LLVM_PROFILE_FILE=build/fuzz/cov/replay.profraw \
  build/fuzz/cov/fuzz/fuzz_capi -runs=0 build/fuzz/corpus fuzz/corpus 2>&1 | grep -E 'INITED|DONE'
llvm-profdata-14 merge -sparse build/fuzz/cov/replay.profraw -o build/fuzz/cov/replay.profdata
llvm-cov-14 report build/fuzz/cov/fuzz/fuzz_capi -instr-profile=build/fuzz/cov/replay.profdata src/
