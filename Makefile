# The two commands a newcomer needs: `make demo` and `make test`. Both install
# what a fresh Debian 12 machine lacks first.
#   make release [IMAGE=path/to/disk.img] [PRESET=win64]
#                                             build/PRESET/release/imagewrite.exe
#   make boot-check [IMAGE=path/to/disk.img]  boots the image in qemu, shows its screen
.PHONY: all deps host-deps image-deps test-deps build host asan win32 win64 test release default-image demo \
	boot-check clean

DEFAULT_IMAGE := build/image/default.img
IMAGE ?= $(DEFAULT_IMAGE)
# The 32-bit program is the product; the 64-bit one is the same source.
PRESET ?= win32
# The build this host can run under Wine, found out once, when first needed.
RUNNABLE = $(eval RUNNABLE := $(shell bash tools/wine-arch.sh))$(RUNNABLE)
# The default image is made first only when no image of one's own is given.
IMAGE_PREREQ := $(if $(filter $(DEFAULT_IMAGE),$(IMAGE)),default-image)

all: build

# Each command installs what it needs, no more: packaging needs no Wine.
deps:
	bash tools/install-deps.sh build

host-deps:
	bash tools/install-deps.sh host

image-deps:
	bash tools/install-deps.sh image

test-deps:
	bash tools/install-deps.sh build host image wine check boot e2e

host asan: host-deps
host asan win32 win64: deps
	cmake --preset $@ >/dev/null
	cmake --build --preset $@ -j2

build: host win32 win64

# Every test: the host tests (also under ASan and UBSan, and the static
# analysers), both Windows programs, and the one this host can run with its
# release, under Wine and in the PC emulator.
test: test-deps build asan
	ctest --preset host
	ctest --preset asan
	@echo "make test: $$(bash tools/wine-arch.sh --say)"
	ctest --preset win32
	ctest --preset win64

default-image: image-deps
	@mkdir -p $(dir $(DEFAULT_IMAGE))
	bash tools/make-default-image.sh $(DEFAULT_IMAGE)

release: $(PRESET) $(IMAGE_PREREQ) image-deps
	bash tools/package-release.sh build/$(PRESET)/imagewrite.exe "$(IMAGE)" \
		build/$(PRESET)/release/imagewrite.exe

demo: deps image-deps
	bash tools/install-deps.sh wine
	$(MAKE) --no-print-directory release PRESET=$(RUNNABLE)
	bash tools/demo.sh build/$(RUNNABLE)/release/imagewrite.exe

boot-check: $(IMAGE_PREREQ)
	bash tools/install-deps.sh boot
	python3 tools/boot-check.py "$(IMAGE)"

clean:
	rm -rf build
