# Cross-builds for 32-bit ARM with hardware floating point (Debian armhf) and runs the
# results with qemu-arm:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake   (or scripts/build --arch armhf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(LOCKHUB_TRIPLET arm-linux-gnueabihf)
set(LOCKHUB_QEMU qemu-arm)
# GCC notes on every std::vector of some structs that their passing changed in GCC 7.1;
# everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
