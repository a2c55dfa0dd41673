# Writes LICENSES_VI.txt: the Debian copyright files of the libraries kxphone uses.
# Run with: cmake -DOUTPUT=<file> -P gather-licences.cmake
# A package that is not installed is skipped; several packages share one file through a
# symbolic link of their documentation folder, so each text is written once.
cmake_minimum_required(VERSION 3.25)

set(packages
  "Qt 5|libqt5core5a"
  "spdlog|libspdlog1.10"
  "fmt|libfmt9"
  "Asio|libasio-dev"
  "FFmpeg libavcodec|libavcodec59"
  "FFmpeg libavutil|libavutil57"
  "FFmpeg libswresample|libswresample4"
  "PulseAudio client library|libpulse0"
  "libyuv|libyuv0"
  "WebRTC audio processing|libwebrtc-audio-processing1"
  "libv4l|libv4l-0"
  "OpenSSL|libssl3"
)

set(text "Kestrovia uses the following open-source libraries. Their copyright and licence\n")
string(APPEND text "notices follow, as the Debian packages of this system state them.\n")
set(seen "")
foreach(entry IN LISTS packages)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 title)
  list(GET parts 1 package)
  set(file "/usr/share/doc/${package}/copyright")
  if(NOT EXISTS "${file}")
    continue()
  endif()
  file(REAL_PATH "${file}" real)
  if(real IN_LIST seen)
    continue()
  endif()
  list(APPEND seen "${real}")
  file(READ "${file}" body)
  string(APPEND text "\n\n==============================================================================\n")
  string(APPEND text "${title} (Debian package ${package})\n")
  string(APPEND text "==============================================================================\n\n")
  string(APPEND text "${body}")
endforeach()

file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
