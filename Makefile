# Quick start:
#   make test   installs what is missing (as root), builds and runs every test
#   make demo   builds the suite and runs the built-in demo measurement
#   make install [PREFIX=/usr] [DESTDIR=/tmp/stage]   installs what make build made
#   make deb    builds the Debian package build/velk_<version>_<arch>.deb
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Install prefix: /usr is where velktoolcli-genconfig's default TSP path points.
PREFIX ?= /usr
DESTDIR ?=

DEB_PACKAGES = cmake g++ make pkg-config libpopt-dev libzip-dev libxml2-dev \
	libsndfile1-dev libgtest-dev libxml2-utils unzip zip python3 \
	python3-numpy python3-scipy groff man-db dpkg-dev chromium-headless-shell parallel \
	libnetcdf-dev python3-netcdf4 libmysofa1 strace
DEB_CHECK = cmake g++ pkg-config libpopt-dev libzip-dev libxml2-dev \
	libsndfile1-dev libgtest-dev libxml2-utils unzip zip python3-scipy \
	groff man-db dpkg-dev chromium-headless-shell parallel \
	libnetcdf-dev python3-netcdf4 libmysofa1 strace

.PHONY: all deps configure build test demo install deb clean

all: build

deps:
	@missing=""; for p in $(DEB_CHECK); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' \
	    || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $(DEB_PACKAGES) || exit 1; \
	  else \
	    echo "missing Debian packages:$$missing"; \
	    echo "run as root: apt-get update && apt-get install -y $(DEB_PACKAGES)"; \
	    exit 1; \
	  fi; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	bash examples/demo.sh $(BUILD)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

deb: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
