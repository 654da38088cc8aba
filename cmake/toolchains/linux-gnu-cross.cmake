# The body every router toolchain file here shares: Debian's cross compiler
# for CALLAUDIO_TRIPLET and the target's multiarch -dev packages
# (libmbedtls-dev, libasound2-dev, libgtest-dev with the Debian architecture
# suffix), which live in /usr/lib/<triplet> and /usr/include.
# scripts/cross-build installs them. The caller sets CALLAUDIO_TRIPLET,
# CMAKE_SYSTEM_PROCESSOR (the target's `uname -m`) and CALLAUDIO_QEMU_NAME.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CALLAUDIO_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CALLAUDIO_TRIPLET}-g++)
set(CMAKE_STRIP ${CALLAUDIO_TRIPLET}-strip CACHE FILEPATH "")
# Makes find_library and find_package look in the target's multiarch
# directory, never in the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${CALLAUDIO_TRIPLET})

# ctest runs the test programs through user-mode qemu. The multiarch libc
# installs the target's loader under /lib, so no -L prefix is needed.
find_program(CALLAUDIO_QEMU ${CALLAUDIO_QEMU_NAME})
if(CALLAUDIO_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CALLAUDIO_QEMU})
endif()
