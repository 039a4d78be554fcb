# Shared by ./run and ./test: install what is missing, configure and build a preset.
# Sourced, not run.

R9_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build and the tests need.
R9_PACKAGES=(cmake g++ make ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
             python3 util-linux
             # real MIDI on Linux: ALSA raw MIDI, JACK and a JACK server for the cross-process tests,
             # and PipeWire's JACK server for the same tests under pw-jack
             libasound2-dev libjack-jackd2-dev jackd2 pipewire pipewire-jack
             # the Qt window, its fonts (Japanese port names) and the X server of its smoke test
             qt6-base-dev qt6-qpa-plugins libgl-dev fonts-ipafont-gothic xvfb xdotool x11-utils imagemagick
             # the Windows build, cross-compiled, and Wine to run its tests
             g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
             # fuzzing (libFuzzer) and packaging
             clang libclang-rt-14-dev lintian desktop-file-utils zip unzip)

r9_install_missing() {
  local missing=() p
  for p in "${R9_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Run as root, or install them with: sudo apt-get install ${missing[*]}" >&2
    exit 2
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q -o DPkg::Lock::Timeout=600 >/dev/null || { echo "apt-get update failed" >&2; exit 2; }
  apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null ||
    { echo "apt-get install ${missing[*]} failed" >&2; exit 2; }
}

# r9_build PRESET: configure (once) and build.
r9_build() {
  local preset=$1
  cd "$R9_ROOT" || exit 2
  cmake --preset "$preset" -G Ninja >/dev/null || { echo "configure ($preset) failed" >&2; exit 1; }
  cmake --build --preset "$preset" -j "$(nproc)" || { echo "build ($preset) failed" >&2; exit 1; }
}
