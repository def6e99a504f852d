# Thin wrapper over CMake; see README.md.
.PHONY: demo test build clean

demo: build
	build/bin/le-info
	build/bin/le-peers

build:
	scripts/install-deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev >/dev/null
	cmake --build build -j$$(nproc)

test:
	scripts/test

clean:
	rm -rf build build-asan build-tsan build-fuzz
