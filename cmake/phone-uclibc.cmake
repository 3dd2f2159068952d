# The phone's own build: 32-bit little-endian MIPS, linked statically
# against uClibc-ng (scripts/uclibc-sysroot builds it) and the cross
# compiler's C++ runtime, so that the program needs no library of the
# phone's. The glibc headers and libraries that come with Debian's cross
# compiler stay out of sight: the include folders and the start files are
# named one by one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel-static)

set(UPG_PHONE_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/uclibc-sysroot/sysroot"
    CACHE PATH "uClibc-ng sysroot (scripts/uclibc-sysroot)")
get_filename_component(UPG_PHONE_SYSROOT "${UPG_PHONE_SYSROOT}" ABSOLUTE)
if(NOT EXISTS "${UPG_PHONE_SYSROOT}/usr/lib/libc.a")
  message(FATAL_ERROR "no uClibc-ng sysroot at ${UPG_PHONE_SYSROOT}: run scripts/uclibc-sysroot")
endif()
set(CMAKE_FIND_ROOT_PATH "${UPG_PHONE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Compiler checks link a plain program; they need not run it.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(_gcc /usr/lib/gcc-cross/mipsel-linux-gnu/12)
set(_cxx /usr/mipsel-linux-gnu/include/c++/12)
set(_sys "${UPG_PHONE_SYSROOT}")
foreach(f ${_gcc}/libstdc++.a ${_gcc}/crtbeginT.o ${_cxx}/cstdio)
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "${f} is missing: run scripts/deps (g++-mipsel-linux-gnu)")
  endif()
endforeach()

# Include order: the C++ configuration adjusted to uClibc-ng (made by
# scripts/uclibc-sysroot), the C++ headers, the compiler's own, then
# uClibc-ng's with the kernel headers.
set(_inc "-nostdinc -isystem ${_sys}/cxx-config -isystem ${_cxx} -isystem ${_cxx}/mipsel-linux-gnu \
-isystem ${_cxx}/backward -isystem ${_gcc}/include -isystem ${_gcc}/include-fixed \
-isystem ${_sys}/usr/include")
set(_code "-ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${_inc} ${_code}")
set(CMAKE_CXX_FLAGS_INIT "${_inc} ${_code}")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static -nostdlib -Wl,--gc-sections ${_sys}/usr/lib/crt1.o ${_sys}/usr/lib/crti.o ${_gcc}/crtbeginT.o")
set(CMAKE_C_STANDARD_LIBRARIES
    "-Wl,--start-group ${_sys}/usr/lib/libc.a ${_gcc}/libgcc.a ${_gcc}/libgcc_eh.a -Wl,--end-group \
${_gcc}/crtend.o ${_sys}/usr/lib/crtn.o")
set(CMAKE_CXX_STANDARD_LIBRARIES
    "-Wl,--start-group ${_gcc}/libstdc++.a ${_sys}/usr/lib/libm.a ${_sys}/usr/lib/libpthread.a \
${_sys}/usr/lib/librt.a ${_sys}/usr/lib/libc.a ${_gcc}/libgcc.a ${_gcc}/libgcc_eh.a -Wl,--end-group \
${_gcc}/crtend.o ${_sys}/usr/lib/crtn.o")
set(CMAKE_POSITION_INDEPENDENT_CODE OFF)
set(UPG_PHONE_STATIC ON)
