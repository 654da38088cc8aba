# Cross-build for armhf routers with Debian's cross compiler and the multiarch
# -dev packages (libmbedtls-dev:armhf, libasound2-dev:armhf, libgtest-dev:armhf), which
# live in /usr/lib/arm-linux-gnueabihf and /usr/include. scripts/cross-build installs them.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_STRIP arm-linux-gnueabihf-strip CACHE FILEPATH "")
# Makes find_library and find_package look in the target's multiarch directory
# (/usr/lib/arm-linux-gnueabihf), never in the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# ctest runs the test programs through user-mode qemu. The multiarch libc
# installs the target's loader under /lib, so no -L prefix is needed.
find_program(CALLAUDIO_QEMU qemu-arm)
if(CALLAUDIO_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CALLAUDIO_QEMU})
endif()
