# Cross-builds for 64-bit ARM (Debian arm64) and runs the results with qemu-aarch64:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake   (or scripts/build --arch arm64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LOCKHUB_TRIPLET aarch64-linux-gnu)
set(LOCKHUB_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
