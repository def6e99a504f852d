# Thin wrapper over CMake; see README.md.
.PHONY: demo test build clean

# The sample avatar (crop 512, 1080p driver), regenerated when the generator changes.
SAMPLE_SOURCES := $(wildcard tools/bundlegen/*.py)

# What the demo makes, for a person to watch, goes to out/.
SENTENCE := Hello, I am glad to see you here today.

demo: build build/sample.stamp build/speech/speech_3s.wav
	mkdir -p out
	build/bin/le-render build/sample --text "$(SENTENCE)" --out out/demo.mp4
	build/bin/le-render build/sample --idle out/sample_idle.mp4
	build/bin/le-keypoints build/sample --audio build/speech/speech_3s.wav --out out/sample_kp.f32 \
	  --plot out/sample_lips.png
	build/bin/le-info
	build/bin/le-peers

build/sample.stamp: $(SAMPLE_SOURCES)
	/usr/bin/python3 tools/bundlegen/make_bundle.py --out build/sample --preset sample
	touch $@

# A spoken sentence (espeak-ng, 16 kHz mono) for the audio models and benchmarks.
build/speech/speech_3s.wav: tools/bundlegen/speech.py
	/usr/bin/python3 tools/bundlegen/speech.py build/speech

build:
	scripts/install-deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev >/dev/null
	cmake --build build -j$$(nproc)

test:
	scripts/test

clean:
	rm -rf build build-release build-asan build-tsan build-fuzz out
