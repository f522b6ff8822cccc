# make test   installs what a fresh Debian 12 machine lacks (as root), then
#             builds the library alone with nothing but the compiler and CMake
#             (test-library), builds and runs every test in an optimised build, under
#             AddressSanitizer + UndefinedBehaviorSanitizer, and under
#             ThreadSanitizer, and cross-builds quorvex.dll with mingw-w64 and
#             runs its tests under wine (test-windows); then fuzzes both C
#             interfaces for a minute in all (test-fuzz).
# make run    installs only what the library and the command need, builds them
#             and runs a discovery on an example data set.
JOBS ?= $(shell nproc)
# The library and the command.
RUN_DEPS = cmake make g++ libeigen3-dev libcli11-dev
# Everything the tests, benchmarks and fuzzing use besides.
DEPS = $(RUN_DEPS) libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev \
       python3 python3-numpy python3-pytest binutils \
       python3-pandas python3-sklearn python3-distributed python3-sympy librsvg2-bin pkg-config \
       clang-14 libclang-rt-14-dev valgrind mono-mcs mono-runtime \
       python3-setuptools python3-wheel python3-build python3-venv python3-matplotlib python3-tqdm
# The Windows build: the -posix mingw-w64 flavour (std::thread), wine to run
# the tests, and GoogleTest's sources to compile it for Windows.
WINDOWS_DEPS = g++-mingw-w64-x86-64-posix wine64 googletest nlohmann-json3-dev cmake make

define install_missing
	@missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

.PHONY: deps deps-run deps-windows test test-library test-release test-python-package test-asan test-windows test-tsan test-fuzz run bench clean

deps:
	$(call install_missing,$(DEPS))

deps-run:
	$(call install_missing,$(RUN_DEPS))

deps-windows:
	$(call install_missing,$(WINDOWS_DEPS))

test: deps test-library test-release test-python-package test-asan test-windows test-tsan test-fuzz

# The library as a consumer builds it: every option beyond it off, and each
# package only the tests, benchmarks or command use refused if looked for.
test-library:
	rm -rf build/library
	cmake -S . -B build/library -DCMAKE_BUILD_TYPE=Release -DQUORVEX_WERROR=ON \
	  -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_BENCH=OFF -DQUORVEX_BUILD_TOOLS=OFF \
	  -DQUORVEX_FUZZ=OFF -DQUORVEX_BUILD_EXAMPLES=OFF \
	  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
	  -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON
	cmake --build build/library -j $(JOBS)
	test -f build/library/src/libquorvex.so

test-release:
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --preset release -j $(JOBS)

# The Python package as a user installs it: pip builds both libraries with
# CMake into a fresh virtual environment (Debian's packages, no index), a wheel
# is built the same way, and the package's tests run there from another folder,
# without QUORVEX_LIBRARY or PYTHONPATH.
test-python-package:
	rm -rf build/pyvenv build/wheel
	/usr/bin/python3 -m venv --system-site-packages build/pyvenv
	build/pyvenv/bin/pip install --quiet --no-build-isolation --no-index ./bindings/python
	/usr/bin/python3 -m build --wheel --no-isolation --outdir build/wheel bindings/python
	cd build && env -u QUORVEX_LIBRARY -u QUORVEX_EXT_LIBRARY -u PYTHONPATH QUORVEX_INSTALLED=1 \
	  QUORVEX_WHEEL_DIR=$(CURDIR)/build/wheel pyvenv/bin/python -m pytest -q -p no:cacheprovider \
	  $(CURDIR)/tests/python

test-asan:
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# One wine server and one wine prefix (build/windows/wineprefix, created on
# first use) serve the whole ctest run.
test-windows: deps-windows
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)
	# wine, freshly started on a loaded machine, now and then never runs a
	# program (seen: one host test idle until its timeout, then passing at once).
	ctest --preset windows -j $(JOBS) --repeat until-pass:2

test-tsan:
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# Each run starts from the checked-in seeds (fuzz/corpus, fuzz/corpus_ext) and
# puts what it finds in a fresh build/fuzz/new (new_ext), so that replaying an
# ever larger corpus does not lengthen it; FUZZ_CORPUS=<dir> (FUZZ_EXT_CORPUS)
# keeps and grows a corpus across runs. The two harnesses share FUZZ_SECONDS.
# A smaller ASan quarantine keeps the many small tree nodes from growing RSS.
FUZZ_SECONDS ?= 60
FUZZ_CORPUS ?= build/fuzz/new
FUZZ_EXT_CORPUS ?= build/fuzz/new_ext
FUZZ_HALF = $(shell expr $(FUZZ_SECONDS) / 2)
test-fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS) --target fuzz_capi fuzz_capi_ext fuzz_units
	rm -rf build/fuzz/new build/fuzz/new_ext
	mkdir -p $(FUZZ_CORPUS) $(FUZZ_EXT_CORPUS)
	ASAN_OPTIONS=quarantine_size_mb=64 ./build/fuzz/fuzz/fuzz_capi -max_total_time=$(FUZZ_HALF) \
	  -timeout=60 -rss_limit_mb=2048 -print_final_stats=1 -dict=fuzz/capi.dict \
	  -artifact_prefix=build/fuzz/ $(FUZZ_CORPUS) fuzz/corpus
	ASAN_OPTIONS=quarantine_size_mb=64 ./build/fuzz/fuzz/fuzz_capi_ext \
	  -max_total_time=$(FUZZ_HALF) -timeout=60 -rss_limit_mb=2048 -print_final_stats=1 \
	  -artifact_prefix=build/fuzz/ext- $(FUZZ_EXT_CORPUS) fuzz/corpus_ext
	mkdir -p build/fuzz/new_units
	./build/fuzz/fuzz/fuzz_units -max_total_time=10 -print_final_stats=1 \
	  -artifact_prefix=build/fuzz/units- build/fuzz/new_units

run: deps-run
	cmake -S . -B build/run -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_TOOLS=ON
	cmake --build build/run -j $(JOBS) --target quorvex_cli
	./build/run/tools/quorvex --seed 1 --target y examples/data/product_sum.csv

bench: deps
	bench/run.sh

clean:
	rm -rf build
