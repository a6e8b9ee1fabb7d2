# The two commands a user needs: `make serve` and `make test`.
JOBS ?= 2
BUILD := build
ASAN := build/asan
TSAN := build/tsan

.PHONY: all build serve test unit e2e fuzz bench clean

all: build

build:
	@tools/deps.sh build
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# Refuses at once when this clone's forum is already being served.
# SERVER=nginx: nginx with the forum as a FastCGI process (else Apache, CGI).
serve:
	@tools/serve.sh --check
	@tools/deps.sh serve
	@$(MAKE) --no-print-directory build
	@tools/serve.sh

# Unit and process tests under AddressSanitizer and UBSan, the threaded
# tests under ThreadSanitizer, then the end-to-end, fuzz and short load
# tests against the release program.
test:
	@tools/deps.sh test
	@$(MAKE) --no-print-directory build
	@cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DPARLINO_SANITIZE=ON -DPARLINO_BENCH=OFF >/dev/null
	@cmake --build $(ASAN) -j$(JOBS)
	@cd $(ASAN) && ctest --output-on-failure -j$(JOBS)
	@cmake -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=Debug -DPARLINO_TSAN=ON -DPARLINO_BENCH=OFF >/dev/null
	@cmake --build $(TSAN) -j$(JOBS)
	@cd $(TSAN) && ctest --output-on-failure -j$(JOBS)
	@tests/e2e/e2e.sh
	@tools/fuzz.sh short
	@tests/load/load_test.py --short

# The forum behind Apache and lighttpd, over HTTP and in Chromium.
e2e:
	@tools/deps.sh test
	@$(MAKE) --no-print-directory build
	@tests/e2e/e2e.sh

# Every fuzzer for FUZZ_SECONDS (default 600) each; new inputs that add
# coverage join the checked-in corpus.
fuzz:
	@tools/fuzz.sh long

bench:
	@tools/deps.sh bench
	@$(MAKE) --no-print-directory build
	@tools/bench.sh
	@tools/bench_fastcgi.sh

# The local forum's files are in forum-data/, outside build/: they stay.
clean:
	rm -rf $(BUILD)
