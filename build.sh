#!/usr/bin/env bash
# Builds the NUV-OS toolkit and runs `ver` under nuvemu; `./build.sh test`
# builds and runs every test. Installs missing Debian packages first (as root).
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${BUILD_DIR:-build}
PACKAGES=(cmake make g++ gcc-multilib g++-multilib pkg-config libunicorn-dev libcapstone-dev
          libgtest-dev gcc-12-plugin-dev libdw-dev libelf-dev zlib1g-dev liblzma-dev libbz2-dev man-db gdb)

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$BUILD_DIR" -j"$(nproc)"
}

install_missing
case "${1:-run}" in
    run)
        build
        "$BUILD_DIR/bin/nuvemu" "$BUILD_DIR/images/ver"
        ;;
    test)
        build
        ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)"
        ;;
    types)
        # Every standard build type builds (warnings are errors in each).
        for type in Debug Release MinSizeRel; do
            cmake -S . -B "$BUILD_DIR-$type" -DCMAKE_BUILD_TYPE="$type" >/dev/null
            cmake --build "$BUILD_DIR-$type" -j"$(nproc)"
        done
        ;;
    asan)
        # The host tools under AddressSanitizer and UndefinedBehaviorSanitizer.
        BUILD_DIR=${BUILD_DIR}-asan
        build -DNUV_SANITIZE=ON
        ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)"
        ;;
    *)
        echo "usage: ./build.sh [run|test|types|asan]" >&2
        exit 2
        ;;
esac
