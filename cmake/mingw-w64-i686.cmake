# Cross-build for 32-bit Windows with Debian's MinGW-w64 (i686: runs on any
# processor 32-bit Windows 7 runs on). On 64-bit Windows the program runs
# under WOW64 and names the 64-bit registry view on every open, so that it
# sees what the 64-bit build sees.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
# The stack alignment the 32-bit Windows ABI promises (4 bytes): no code to
# realign it in every function that keeps a double, which keeps the dialog
# program within its size.
string(APPEND CMAKE_C_FLAGS_INIT " -mpreferred-stack-boundary=2")
string(APPEND CMAKE_CXX_FLAGS_INIT " -mpreferred-stack-boundary=2")
