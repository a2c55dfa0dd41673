#!/usr/bin/env bash
# Installs every Debian package Kestrovia needs to build, run and test.
# Safe to run again: packages already present are left as they are.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev clang-format
  # Qt 5
  qtbase5-dev qtbase5-dev-tools libqt5svg5-dev qttools5-dev qttools5-dev-tools qttranslations5-l10n fonts-dejavu-core
  # engine libraries
  libasio-dev libspdlog-dev libfmt-dev libssl-dev nlohmann-json3-dev libcli11-dev
  libavcodec-dev libavutil-dev libswresample-dev
  libpulse-dev libyuv-dev libjpeg-dev libv4l-dev libwebrtc-audio-processing-dev
  libx11-dev libxext-dev libxcomposite-dev libxfixes-dev libxcb1-dev libxcb-shm0-dev libxcb-composite0-dev
  libpipewire-0.3-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  tshark coturn pulseaudio pulseaudio-utils xvfb xauth iproute2 iptables conntrack python3 dbus-daemon ffmpeg
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav procps
  openbox x11-utils xdotool desktop-file-utils
  # OpenGL without a GPU (Mesa's llvmpipe), for the video drawn by OpenGL
  libgl1-mesa-dri libegl-mesa0
  # a Wayland desktop of the tests' own: headless sway, its screenshots, Qt's Wayland
  # platform, and screen sharing through the desktop portal and PipeWire
  sway swaybg grim wtype qtwayland5 pipewire pipewire-bin wireplumber xdg-desktop-portal
  # the Debian package and its checks
  dpkg-dev appstream groff-base
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "All build and test packages are installed."
  exit 0
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; answer no without a prompt.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
