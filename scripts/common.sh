# Shared by scripts/run and scripts/test: installs what a fresh Debian 12
# machine lacks and builds the project. Sourced, not run.

set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${VELLOSTORE_BUILD_DIR:-$ROOT/build}"

# Build tools, libraries, Qt's own Russian texts (standard buttons, edit
# menus), and what the tests drive (curl, openssl, an X server to take away
# from under the window).
PACKAGES=(g++ cmake ninja-build pkg-config libpcre2-dev libgtest-dev qt6-base-dev
          qt6-translations-l10n fonts-dejavu-core curl openssl ca-certificates xvfb)

install_missing_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "Need root or sudo to install ${missing[*]}" >&2; exit 1; }
        sudo=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build_project() {
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
    cmake --build "$BUILD_DIR" --parallel "$(nproc)"
}
