# What the cross toolchain files share: Debian's cross compiler for one triplet, its
# multiarch libraries and pkg-config files, and qemu-user to run the programs it builds
# (the tests, and test discovery during the build). The including file sets
# LOCKHUB_TRIPLET (aarch64-linux-gnu) and LOCKHUB_QEMU (qemu-aarch64) first.
#
# Needs `scripts/setup cross`. qemu runs each program explicitly, as "qemu-aarch64 PROGRAM";
# no binfmt handler is involved.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${LOCKHUB_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${LOCKHUB_TRIPLET}-g++)
# Debian's multiarch layout: headers in /usr/include, libraries and CMake package files in
# /usr/lib/<triplet>, which the cross compiler and find_package search by themselves.
set(CMAKE_LIBRARY_ARCHITECTURE ${LOCKHUB_TRIPLET})

# Only the target's pkg-config files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${LOCKHUB_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Programs found during configuration (mosquitto, the test broker) run on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Without "-L /usr/<triplet>": the target's libraries, glibc among them, are installed for
# its architecture (libc6:arm64 comes with libssl-dev:arm64 and the others), and its dynamic
# loader is in the place the programs name (/lib/ld-linux-aarch64.so.1). The loader of
# /usr/<triplet> belongs to the cross compiler's own glibc build (2.36-8cross1 on Debian 12,
# against 2.36-9+deb12u* installed): with -L, it would load the installed libc.so.6, and the
# mismatched pair hangs or crashes in the first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR ${LOCKHUB_QEMU})
