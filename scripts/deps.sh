# Sourced by the start and test scripts: installs the Debian packages that are missing.
# Usage: need_packages pkg...
need_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing Debian packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(cmake g++ make pkg-config qt6-base-dev qt6-serialport-dev libgl-dev libtomlplusplus-dev libsystemd-dev fonts-liberation)
# What scripts/package needs besides the build packages.
PACKAGE_BUILD_PACKAGES=("${BUILD_PACKAGES[@]}" debhelper dpkg-dev)
# What the package check needs (scripts/package-check).
# qt6-qpa-plugins and fonts-liberation are what the package depends on besides
# libraries: installed here so that apt-get install of the .deb needs no download.
PACKAGE_CHECK_PACKAGES=("${PACKAGE_BUILD_PACKAGES[@]}" lintian desktop-file-utils appstream man-db librsvg2-bin file
                        qt6-qpa-plugins fonts-liberation)
# What scripts/windows-qt needs to cross-build Qt for Windows.
WINDOWS_QT_PACKAGES=(qt6-base-dev qt6-base-dev-tools g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
                     binutils-mingw-w64-x86-64 ninja-build cmake dpkg-dev perl python3)
# What scripts/build-windows needs besides Qt for Windows.
# toml++ (the plant file reader) is header-only: the Windows build takes the same headers.
WINDOWS_BUILD_PACKAGES=("${WINDOWS_QT_PACKAGES[@]}" nsis zip libtomlplusplus-dev)
