# The two commands a newcomer needs: `make demo` and `make test`. Both install
# what a fresh Debian 12 machine lacks first.
.PHONY: all deps build host win32 test clean

all: build

deps:
	bash tools/install-deps.sh build

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

clean:
	rm -rf build
