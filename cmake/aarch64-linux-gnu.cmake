# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu, against the
# arm64 libraries of a multiarch system (dpkg --add-architecture arm64, then
# libasound2-dev:arm64 and libgtest-dev:arm64). CTest runs every program of the build
# under qemu-aarch64 (Debian's qemu-user), with / as the root of the arm64 libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(WAKELET_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${WAKELET_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${WAKELET_CROSS_TRIPLET}-g++)
# Libraries from /usr/lib/aarch64-linux-gnu, never the build machine's own.
set(CMAKE_LIBRARY_ARCHITECTURE ${WAKELET_CROSS_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${WAKELET_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
