# The two commands: `make run` and `make test`. Everything else is a helper.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
ARGS ?= --seconds 10
CTEST_ARGS ?=

DEB_PKGS := cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
            libcjson-dev libsqlite3-dev libssl-dev tar gzip coreutils procps logrotate \
            clang libclang-rt-14-dev bpftool libbpf-dev libelf-dev zlib1g-dev dnsmasq-base python3 \
            systemd dpkg-dev python3-prometheus-client librdkafka-dev libzstd-dev zstd \
            lintian pandoc

RELEASE_DIR := build/release
ASAN_DIR    := build/asan
TSAN_DIR    := build/tsan
BENCH_DIR   := build/bench
FUZZ_DIR    := build/fuzz
SOAK_DIR    := build/soak
# Minutes of storm for `make soak`.
MINUTES ?= 30
# Seconds per fuzz target: with eighteen targets CI fuzzes for four and a half minutes.
FUZZ_SECONDS ?= 15
STAGE_DIR   := $(CURDIR)/build/stage
# Where `make install` puts the tree (bin, lib, include, config, var/data, logs); DESTDIR
# stages it for a package.
PREFIX      ?= /opt/qxkiv

.PHONY: all deps test run install deb bench overhead tsan fuzz soak attacks scenarios format clean

all: deps
	cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_TESTS=OFF -DKIV_STAGE_DIR=$(STAGE_DIR)
	cmake --build $(RELEASE_DIR) -j $(JOBS)

# Installs only what is missing; apt-get update runs at most once.
deps:
	@missing=""; for p in $(DEB_PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
	@# The ECS test fetches ECS's field definitions with npm: Debian's, unless a node is
	@# installed that brings its own.
	@command -v npm >/dev/null 2>&1 || { echo "installing: npm"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq npm; }

# Configures and builds the sanitizer tree, then runs ctest there with the options given.
define asan_ctest
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIV_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) $(1) $(CTEST_ARGS)
endef

test: deps
	$(call asan_ctest,)

# The attack suite alone: an unprivileged user attacks the built agent (userspace mode, shipped
# configuration), then root acts; each test passes only when root's action is reported and
# nothing leaks. Needs root. Part of `make test` too.
attacks: deps
	$(call asan_ctest,-L attacks)

# The live scenario suite: what an intruder does on a host (the attack suite, and the blind
# spots of programs run by exec, from memory, over IPv6, in containers, DNS over TCP, services
# older than the agent and more), each watched live. Needs root. Part of `make test` too.
scenarios: deps
	$(call asan_ctest,-L scenarios)

# ThreadSanitizer run of the threaded components.
tsan: deps
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIV_TSAN=ON
	cmake --build $(TSAN_DIR) -j $(JOBS)
	cd $(TSAN_DIR) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L tsan $(CTEST_ARGS)

# Without ARGS the agent runs ten seconds so a first run starts, logs and stops on its own;
# ARGS="--seconds 0" runs until Ctrl-C (see build/stage/bin/kivhost --help).
run: all
	$(STAGE_DIR)/bin/kivhost $(ARGS)

# The release build, installed; an edited configuration file is kept (the shipped one lands
# beside it as .dist).
install: all
	cmake --install $(RELEASE_DIR) --prefix $(PREFIX)

# The release tree as a Debian package, build/qxkiv_<version>-<revision>_<arch>.deb, built by
# CPack from the install rules (cmake/deb.cmake); lintian checks it.
deb: all
	cd $(RELEASE_DIR) && cpack -B $(CURDIR)/build
	lintian --tag-display-limit 0 \
	  build/qxkiv_$$(dpkg-parsechangelog -l cmake/deb/changelog -S Version)_$$(dpkg --print-architecture).deb

bench: deps
	cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIV_TESTS=OFF -DKIV_BENCH=ON
	cmake --build $(BENCH_DIR) -j $(JOBS)
	@for b in $(BENCH_DIR)/bench/bench_*; do [ -x "$$b" ] && { echo "== $$b"; "$$b" || exit 1; }; done

# What the host pays: each workload with the release agent off and on (shipped configuration,
# userspace mode), ratios, the agent's CPU and memory. Needs root and eBPF; skips without.
overhead: all
	python3 bench/overhead/overhead.py --stage $(STAGE_DIR) $(OVERHEAD_ARGS)

# Every fuzz target for FUZZ_SECONDS on its committed seeds; new inputs stay under build/.
# Any crash, leak or sanitizer finding fails the run and leaves the input in artifacts/.
fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DKIV_FUZZ=ON -DKIV_TESTS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_targets
	@for b in $(FUZZ_DIR)/fuzz/fuzz_*; do \
	  [ -x "$$b" ] || continue; name=$${b##*/fuzz_}; \
	  work=$(FUZZ_DIR)/corpus/$$name; art=$(FUZZ_DIR)/artifacts/$$name; mkdir -p $$work $$art; \
	  seeds=""; [ -d fuzz/corpus/$$name ] && seeds=fuzz/corpus/$$name/; \
	  echo "== $$b for $(FUZZ_SECONDS) s"; \
	  "$$b" -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=$$art/ -print_final_stats=1 \
	    $$work $$seeds || { echo "fuzz_$$name: finding kept in $$art" >&2; exit 1; }; \
	done

# Soak run: an ASan+UBSan release-like build of the agent and library in its own tree, run for
# MINUTES under a storm of local activity (tests/soak/soak.py); not part of `make test`.
# Results, with summary.txt and rss.csv, go to $(SOAK_DIR)/soak-<time>/. Needs root.
# TREE=release soaks the release tree `make` stages (build/stage) instead, as operators run it.
soak: deps
ifeq ($(TREE),release)
	$(MAKE) all
	python3 tests/soak/soak.py --stage $(STAGE_DIR) --minutes $(MINUTES)
else
	cmake -S . -B $(SOAK_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_SANITIZE=ON -DKIV_TESTS=OFF
	cmake --build $(SOAK_DIR) -j $(JOBS) --target kivhost
	python3 tests/soak/soak.py --stage $(SOAK_DIR)/stage --minutes $(MINUTES)
endif

format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
