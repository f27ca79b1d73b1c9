# Cross toolchain for the Windows user-mode build: mingw-w64 for x86_64 with the POSIX thread
# model (Debian package g++-mingw-w64-x86-64-posix), whose C++ library has std::thread and
# std::mutex.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
