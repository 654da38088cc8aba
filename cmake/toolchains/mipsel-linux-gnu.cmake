# Cross-build for little-endian 32-bit MIPS routers, the commonest router SoC
# class (Debian architecture mipsel, MIPS32r2).
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mipsel-linux-gnu.cmake
set(CALLAUDIO_TRIPLET mipsel-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CALLAUDIO_QEMU_NAME qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
