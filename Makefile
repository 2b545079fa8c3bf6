# Front door of the build. `make test` and `make run` are the two set-up commands.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR ?= OFF
CMAKE_FLAGS ?=
SAMPLE := $(CURDIR)/samples/drive_c

.PHONY: all build test test-deps run sanitize-test bench bench-deps clean

all: build

build:
	cmake -S . -B $(BUILD) -DBRINT_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Test tools beyond the machine image (faketime moves the clock in the date tests).
test-deps:
	@if ! command -v faketime >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq faketime) >/dev/null; \
	  else \
	    echo "note: faketime is missing (install it as root); the clock tests will be skipped"; \
	  fi; \
	fi
	@# Disk images for the disk tests: mkfs.fat (dosfstools), sfdisk (fdisk) and a real master
	@# boot record (syslinux-common's mbr.bin).
	@need=; \
	command -v mkfs.fat >/dev/null 2>&1 || [ -x /usr/sbin/mkfs.fat ] || need=1; \
	command -v sfdisk >/dev/null 2>&1 || [ -x /usr/sbin/sfdisk ] || need=1; \
	[ -f /usr/lib/syslinux/mbr/mbr.bin ] || need=1; \
	if [ -n "$$need" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dosfstools fdisk syslinux-common) >/dev/null; \
	  else \
	    echo "note: dosfstools, fdisk or syslinux-common is missing (install them as root); the disk image tests will be skipped"; \
	  fi; \
	fi

test: test-deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize-test:
	cmake -S . -B $(ASAN_BUILD) -DBRINT_SANITIZE=ON -DBRINT_WERROR=$(WERROR) -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS) -L unit

# The main job on the bundled sample: drive C: (samples/drive_c, files only) and a floppy in
# A: whose boot sector is the test boot sector, both checked in full. The samples carry the
# EICAR test file and the project's own harmless test programs, so the run ends with findings
# (exit code 3).
run: build
	@mkdir -p $(BUILD)/system
	@cp data/samples/testboot.bin $(BUILD)/sample-floppy.img && truncate -s 1474560 $(BUILD)/sample-floppy.img
	cd $(SAMPLE) && BRINT_DRIVES="C=$(SAMPLE);A=floppy:-,$(CURDIR)/$(BUILD)/sample-floppy.img" \
	  BRINT_SYSTEM=$(CURDIR)/$(BUILD)/system $(CURDIR)/$(BUILD)/ntbrint -NK -F A: C: ; echo "exit code $$?"

# ntbrint against plain reading of the same files, side by side (bench/README.md). The corpus
# (about 1 GiB copied from /usr, seeded) is kept in $(BUILD)/bench-work between runs. As root,
# clamscan and yara are installed first so that they are measured on the same corpus too.
BENCH_FLAGS ?=
bench-deps:
	@if ! command -v clamscan >/dev/null 2>&1 || ! command -v yara >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clamav yara) >/dev/null 2>&1 || \
	      echo "note: clamav or yara could not be installed; the peer comparison is left out"; \
	  else \
	    echo "note: clamscan or yara is missing (install them as root); the peer comparison is left out"; \
	  fi; \
	fi

bench: bench-deps build
	$(BUILD)/bench/brint-bench --ntbrint $(BUILD)/ntbrint --work $(BUILD)/bench-work $(BENCH_FLAGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
