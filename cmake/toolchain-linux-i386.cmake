# 32-bit x86 Linux build of the portable code: proves its 32-bit arithmetic (the product
# is a 32-bit program) on machines that cannot execute 32-bit code natively, through qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
set(QM_TARGET native CACHE STRING "")
set(QM_I386 ON CACHE BOOL "")
