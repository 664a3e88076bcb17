# Entry points; each one sets up what it needs first (see scripts/bootstrap.sh).
.PHONY: example test test-cpython test-asan valgrind format format-check lint fuzz bench

example:
	scripts/example.sh

test:
	scripts/test.sh .venv pypy3

test-cpython:
	scripts/test.sh .venv-cpython python3

test-asan:
	scripts/asan-tests.sh

valgrind:
	scripts/valgrind-tests.sh

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

lint:
	scripts/lint.sh

fuzz:
	scripts/fuzz.sh 60

bench:
	scripts/bench.sh
