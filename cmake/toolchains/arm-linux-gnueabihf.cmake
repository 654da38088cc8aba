# Cross-build for 32-bit ARM routers with a hardware FPU (Debian architecture armhf).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(CALLAUDIO_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CALLAUDIO_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
