# Cross-build for aarch64 routers with Debian's cross compiler and the multiarch
# -dev packages (libmbedtls-dev:arm64, libasound2-dev:arm64, libgtest-dev:arm64), which
# live in /usr/lib/aarch64-linux-gnu and /usr/include. scripts/cross-build installs them.
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_STRIP aarch64-linux-gnu-strip CACHE FILEPATH "")
# Makes find_library and find_package look in the target's multiarch directory
# (/usr/lib/aarch64-linux-gnu), never in the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# ctest runs the test programs through user-mode qemu. The multiarch libc
# installs the target's loader under /lib, so no -L prefix is needed.
find_program(CALLAUDIO_QEMU qemu-aarch64)
if(CALLAUDIO_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CALLAUDIO_QEMU})
endif()
