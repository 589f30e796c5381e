# The two commands a newcomer needs: `make demo` and `make test`. Both install
# what a fresh Debian 12 machine lacks first.
#   make release [IMAGE=path/to/disk.img]  build/win32/release/imagewrite.exe
.PHONY: all deps build host win32 test release default-image demo clean

DEFAULT_IMAGE := build/image/default.img
IMAGE ?= $(DEFAULT_IMAGE)
RELEASE := build/win32/release/imagewrite.exe

all: build

deps:
	bash tools/install-deps.sh build wine

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j2

win32: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j2

build: host win32

test: build
	ctest --preset host
	ctest --preset win32

default-image: deps
	@mkdir -p $(dir $(DEFAULT_IMAGE))
	bash tools/make-default-image.sh $(DEFAULT_IMAGE)

release: win32 $(if $(filter $(DEFAULT_IMAGE),$(IMAGE)),default-image)
	bash tools/package-release.sh build/win32/imagewrite.exe "$(IMAGE)" $(RELEASE)

demo: release
	bash tools/demo.sh $(RELEASE)

clean:
	rm -rf build
