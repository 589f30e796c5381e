# The two commands a newcomer needs: `make demo` and `make test`. Both install
# what a fresh Debian 12 machine lacks first.
#   make release [IMAGE=path/to/disk.img]     build/win32/release/imagewrite.exe
#   make boot-check [IMAGE=path/to/disk.img]  boots the image in qemu, shows its screen
.PHONY: all deps test-deps build host asan fuzz win32 test release default-image demo \
	boot-check clean

DEFAULT_IMAGE := build/image/default.img
IMAGE ?= $(DEFAULT_IMAGE)
RELEASE := build/win32/release/imagewrite.exe
# The default image is made first only when no image of one's own is given.
IMAGE_PREREQ := $(if $(filter $(DEFAULT_IMAGE),$(IMAGE)),default-image)

all: build

deps:
	bash tools/install-deps.sh build wine

test-deps:
	bash tools/install-deps.sh build wine check boot

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j2

win32: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j2

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j2

fuzz: test-deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j2

build: host win32

# Every test: the host tests (also under ASan and UBSan, and the static
# analysers), a bounded fuzzing run, and the Windows program with its
# release, under Wine and in the PC emulator.
test: test-deps build asan fuzz
	ctest --preset host
	ctest --preset asan
	ctest --preset fuzz
	ctest --preset win32

default-image: deps
	@mkdir -p $(dir $(DEFAULT_IMAGE))
	bash tools/make-default-image.sh $(DEFAULT_IMAGE)

release: win32 $(IMAGE_PREREQ)
	bash tools/package-release.sh build/win32/imagewrite.exe "$(IMAGE)" $(RELEASE)

demo: release
	bash tools/demo.sh $(RELEASE)

boot-check: $(IMAGE_PREREQ)
	bash tools/install-deps.sh boot
	python3 tools/boot-check.py "$(IMAGE)"

clean:
	rm -rf build
