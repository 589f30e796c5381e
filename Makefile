# The two commands a newcomer needs: `make demo` and `make test`. Both install
# what a fresh Debian 12 machine lacks first.
#   make release [IMAGE=path/to/disk.img] [PRESET=win64] [NOCHECK=1]
#                                             build/PRESET/release/imagewrite.exe
#   make sign (CERT=cert.pem KEY=key.pem | PFX=file.pfx) [PASSWORD_FILE=file]
#             [CA=ca.pem] [TIMESTAMP=url] [PRESET=win64]   signs that release in place
#   make boot-check [IMAGE=path/to/disk.img] [ON=PC,...]
#                                   boots the image on those PCs in qemu (make help lists
#                                   them); fails where it did not boot
.PHONY: all help deps host-deps image-deps test-deps build host asan win32 win64 test release \
	sign default-image demo boot-check clean
MAKEFLAGS += --no-print-directory

DEFAULT_IMAGE := build/image/default.img
# The names a user gives reach the scripts through the environment, as the
# bytes they are: never as shell text, and with no $ taken for make's own.
export IMAGE_PATH := $(if $(filter undefined,$(origin IMAGE)),$(DEFAULT_IMAGE),$(value IMAGE))
export CERT_PATH := $(value CERT)
export KEY_PATH := $(value KEY)
export CA_PATH := $(value CA)
export PFX_PATH := $(value PFX)
export PASSWORD_PATH := $(value PASSWORD_FILE)
export TIMESTAMP_URL := $(value TIMESTAMP)
export ON_MACHINES := $(value ON)
# The 32-bit program is the product; the 64-bit one is the same source.
PRESET ?= win32
ifneq ($(filter release sign,$(MAKECMDGOALS)),)
ifneq ($(filter-out win32 win64,$(PRESET))$(words $(PRESET)),1)
$(error PRESET '$(PRESET)' makes no release: the presets that do are win32 (the default) and win64)
endif
endif
export PRESET
# The build this host can run under Wine, found out once, when first needed.
RUNNABLE = $(eval RUNNABLE := $(shell bash tools/wine-arch.sh))$(RUNNABLE)
# The default image is made first only when no image of one's own is given.
IMAGE_PREREQ := $(if $(filter $(DEFAULT_IMAGE),$(IMAGE_PATH)),default-image)

all: build

help:
	@echo 'make demo [IMAGE=disk.img] [ON=stick]'
	@echo '                                    a release of its own writes its image onto a Wine floppy,'
	@echo '                                    or (ON=stick) a flash disk with a partition table'
	@echo 'make test                           builds everything and runs every test'
	@echo 'make release [IMAGE=disk.img] [PRESET=win64] [NOCHECK=1]'
	@echo '                                    build/PRESET/release/imagewrite.exe and its .sha256,'
	@echo '                                    then which PCs boot it (NOCHECK=1: not this)'
	@echo 'make sign CERT=c.pem KEY=k.pem [PASSWORD_FILE=f] [CA=ca.pem] [TIMESTAMP=url] [PRESET=win64]'
	@echo 'make sign PFX=c.pfx [PASSWORD_FILE=f] [CA=ca.pem] [TIMESTAMP=url] [PRESET=win64]'
	@echo '                                    signs that release in place, and its checksum anew'
	@echo 'make boot-check [IMAGE=disk.img] [ON=PC,...]'
	@echo '                                    boots the image on those PCs in qemu (by default the four'
	@echo '                                    most customers have); a line for each, and it fails where'
	@echo '                                    the image did not boot. The PCs:'
	@python3 tools/boot-check.py --list | sed 's/^/                                      /'
	@echo 'make clean                          removes build/: releases and Wine prefixes too'

# Each command installs what it needs, no more: packaging needs no Wine.
deps:
	bash tools/install-deps.sh build

host-deps:
	bash tools/install-deps.sh host

image-deps:
	bash tools/install-deps.sh image

test-deps:
	bash tools/install-deps.sh build host image wine check boot bootcode e2e stick

host asan: host-deps
host asan win32 win64: deps
	cmake --preset $@ >/dev/null
	cmake --build --preset $@ -j2

build: host win32 win64

# Every test: the host tests (also under ASan and UBSan, and the static
# analysers), both Windows programs, and the one this host can run with its
# release, under Wine and in the PC emulator.
# Every preset runs, whatever an earlier one gave; then the command fails
# if any of them failed, naming them.
test: test-deps build asan
	@echo "make test: $$(bash tools/wine-arch.sh --say)"
	@failed=; for preset in host asan win32 win64; do \
	  bash tools/ctest-quiet.sh $$preset || failed="$$failed $$preset"; done; \
	[ -z "$$failed" ] || { echo "make test: FAILED in$$failed"; exit 1; }

default-image: image-deps
	@mkdir -p $(dir $(DEFAULT_IMAGE))
	bash tools/make-default-image.sh $(DEFAULT_IMAGE)

# Then which PCs boot the image: what to do where it does not, never a
# refusal of the release (NOCHECK=1 leaves it out).
release: $(PRESET) $(IMAGE_PREREQ) image-deps
	bash tools/package-release.sh "build/$$PRESET/imagewrite.exe" "$$IMAGE_PATH" \
		"build/$$PRESET/release/imagewrite.exe"
	@$(if $(NOCHECK),:,python3 tools/boot-check.py --brief -- "$$IMAGE_PATH" || [ $$? != 127 ] || \
		echo "release: to see which PCs boot it, run make boot-check (it installs qemu)")

sign:
	bash tools/install-deps.sh sign
	@[ -n "$$CERT_PATH$$KEY_PATH$$PFX_PATH" ] || \
		{ echo "make sign: name the certificate and its key, make sign CERT=cert.pem KEY=key.pem, or a PKCS#12 file, make sign PFX=file.pfx" >&2; exit 2; }
	@[ -f "build/$$PRESET/release/imagewrite.exe" ] || \
		{ echo "make sign: there is no $$PRESET release to sign: make it first with 'make release PRESET=$$PRESET'" >&2; exit 2; }
	bash tools/sign-release.sh "build/$$PRESET/release/imagewrite.exe" \
		$${CERT_PATH:+--cert} $${CERT_PATH:+"$$CERT_PATH"} $${KEY_PATH:+--key} $${KEY_PATH:+"$$KEY_PATH"} \
		$${PFX_PATH:+--pfx} $${PFX_PATH:+"$$PFX_PATH"} \
		$${PASSWORD_PATH:+--password-file} $${PASSWORD_PATH:+"$$PASSWORD_PATH"} \
		$${CA_PATH:+--ca} $${CA_PATH:+"$$CA_PATH"} $${TIMESTAMP_URL:+--timestamp} $${TIMESTAMP_URL:+"$$TIMESTAMP_URL"}

# The demo's own release, so that a release of the user's stays as it is;
# ON=stick: a flash disk with a partition table instead of a diskette.
ifneq ($(filter demo,$(MAKECMDGOALS)),)
ifneq ($(filter-out stick,$(ON)),)
$(error ON '$(ON)' is no demo: make demo shows a diskette, make demo ON=stick a flash disk)
endif
endif
demo: deps image-deps $(IMAGE_PREREQ)
	bash tools/install-deps.sh wine $(if $(ON),stick boot)
	$(MAKE) $(RUNNABLE)
	bash tools/package-release.sh "build/$(RUNNABLE)/imagewrite.exe" "$$IMAGE_PATH" \
		build/demo/imagewrite.exe
	bash tools/demo.sh $(if $(ON),--stick build/$(RUNNABLE)/stick.sys) build/demo/imagewrite.exe

# A line for each machine, then the sum; an image that did not boot on a
# machine asked for fails the command, after its verdict lines.
boot-check: $(IMAGE_PREREQ)
	bash tools/install-deps.sh boot
	@python3 tools/boot-check.py $${ON_MACHINES:+--on} $${ON_MACHINES:+"$$ON_MACHINES"} -- "$$IMAGE_PATH"

clean:
	rm -rf build
