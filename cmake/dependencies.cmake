# Every dependency comes from a Debian 12 package (scripts/install-deps.sh installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

# Debian builds cpp-httplib as a shared library with OpenSSL, zlib and brotli support; its
# pkg-config flags must be used or httplib::Request gets another layout than the library's.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
find_package(OpenCV REQUIRED COMPONENTS core imgproc imgcodecs)
# sd-bus from libsystemd: the tray icon on the session D-Bus, without a toolkit or a display.
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)

if(TESSVARK_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(TESSVARK_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
