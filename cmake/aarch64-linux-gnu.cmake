# Toolchain for the dispenser's ARM64 Linux board: Debian's aarch64-linux-gnu
# cross compiler, OpenSSL and cJSON from the arm64 multiarch packages, and
# qemu-user as the runner for target executables (tests, test discovery).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TCU_TARGET_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TCU_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TCU_TARGET_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TCU_TARGET_TRIPLE})

# Debian multiarch: the target's headers live in /usr/include (+ the triple
# subdirectory), its libraries in /usr/lib/aarch64-linux-gnu, the cross C
# library in /usr/aarch64-linux-gnu. With the library architecture set, the
# root "/" searches only the aarch64 multiarch directories, never the host's.
# Programs (openssl, tshark) are the host's own.
set(CMAKE_FIND_ROOT_PATH /usr/${TCU_TARGET_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(PKG_CONFIG_EXECUTABLE ${TCU_TARGET_TRIPLE}-pkg-config CACHE FILEPATH "pkg-config for the target")

# Target binaries run through user-mode emulation; binfmt_misc is not relied
# on. They run on Debian's arm64 runtime (loader, libc, libstdc++, libssl from
# the arm64 multiarch packages), as on the board. Not `-L /usr/aarch64-linux-gnu`:
# that mixes the cross loader with the newer multiarch libc that libssl pulls
# in, and every program hangs in its first pthread_create or fork.
# TCU_UNDER_QEMU=1 lets tests skip what user-mode emulation cannot provide.
set(TCU_QEMU qemu-aarch64 CACHE STRING "User-mode emulator for target executables")
set(CMAKE_CROSSCOMPILING_EMULATOR ${TCU_QEMU} -E TCU_UNDER_QEMU=1)
