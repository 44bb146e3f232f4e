# Cross-compiles the Windows side (the program and the Wine harness) for
# 64-bit Windows with clang and LLD, against the MinGW-w64 headers and
# runtime and the posix-threads libstdc++ of Debian's MinGW-w64 GCC
# (clang, lld, g++-mingw-w64-x86-64-posix: scripts/install-deps.sh installs
# them).
#
# The compiler: CMAKE_C_COMPILER (and CMAKE_CXX_COMPILER) when given; else
# KALVO_CLANG_SUFFIX, as in clang-19 (-DKALVO_CLANG_SUFFIX=-19, or in the
# environment); else clang, then the newest versioned clang there is. LLD is
# the one that comes with that clang (-fuse-ld=lld finds it beside it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KALVO_MINGW_PREFIX x86_64-w64-mingw32)

if(NOT DEFINED KALVO_CLANG_SUFFIX AND DEFINED ENV{KALVO_CLANG_SUFFIX})
  set(KALVO_CLANG_SUFFIX "$ENV{KALVO_CLANG_SUFFIX}")
endif()
# try_compile projects read this file again: the choice made once travels
# with them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KALVO_CLANG_SUFFIX KALVO_MINGW_GCC_DIR)
if(NOT CMAKE_C_COMPILER)
  if(DEFINED KALVO_CLANG_SUFFIX)
    set(kalvo_clang_names clang${KALVO_CLANG_SUFFIX})
  else()
    set(kalvo_clang_names clang)
    foreach(version RANGE 21 14 -1)
      list(APPEND kalvo_clang_names clang-${version})
    endforeach()
  endif()
  find_program(KALVO_CLANG NAMES ${kalvo_clang_names})
  if(NOT KALVO_CLANG)
    message(FATAL_ERROR "No clang found (looked for ${kalvo_clang_names}): "
            "scripts/install-deps.sh installs Debian's.")
  endif()
  set(CMAKE_C_COMPILER "${KALVO_CLANG}")
endif()
if(NOT CMAKE_CXX_COMPILER)
  # clang-19 is driven as a C++ compiler by clang++-19, beside it.
  get_filename_component(kalvo_clang_dir "${CMAKE_C_COMPILER}" DIRECTORY)
  get_filename_component(kalvo_clang_name "${CMAKE_C_COMPILER}" NAME)
  string(REGEX REPLACE "^clang" "clang++" kalvo_clangxx_name "${kalvo_clang_name}")
  set(CMAKE_CXX_COMPILER "${kalvo_clang_dir}/${kalvo_clangxx_name}")
endif()
set(CMAKE_C_COMPILER_TARGET ${KALVO_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${KALVO_MINGW_PREFIX})
# The resource script and the archives with MinGW-w64's binutils, which the
# GCC toolchain brings anyway.
set(CMAKE_RC_COMPILER ${KALVO_MINGW_PREFIX}-windres)
find_program(CMAKE_AR ${KALVO_MINGW_PREFIX}-ar)
find_program(CMAKE_RANLIB ${KALVO_MINGW_PREFIX}-ranlib)

# The MinGW-w64 headers and libraries as the sysroot. Without one, clang
# takes the parent of the folder it finds x86_64-w64-mingw32-gcc in (/usr)
# and puts /usr/include, the host's own headers, on the include path and
# /usr/lib on the library path.
set(CMAKE_SYSROOT /usr/${KALVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH /usr/${KALVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# GCC's own folder, with libstdc++ (its headers and archive), libgcc and
# libgcc_eh: Debian names it after the version and the threading model
# (12-posix, 14-posix), which clang 14 does not recognise as a GCC version,
# and under the sysroot newer clang looks for it in vain as well. GCC itself
# says where it is; the posix threading model's, whose libstdc++ has
# std::thread and std::mutex on winpthreads, as the GCC build uses.
if(NOT KALVO_MINGW_GCC_DIR)
  execute_process(COMMAND ${KALVO_MINGW_PREFIX}-g++-posix -print-file-name=libstdc++.a
                  OUTPUT_VARIABLE kalvo_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE kalvo_status ERROR_QUIET)
  if(kalvo_status EQUAL 0 AND IS_ABSOLUTE "${kalvo_libstdcxx}")
    get_filename_component(KALVO_MINGW_GCC_DIR "${kalvo_libstdcxx}" DIRECTORY)
  else()
    file(GLOB kalvo_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${KALVO_MINGW_PREFIX}/*-posix)
    list(LENGTH kalvo_gcc_dirs kalvo_gcc_count)
    if(NOT kalvo_gcc_count EQUAL 1)
      message(FATAL_ERROR "Needs exactly one GCC folder of MinGW-w64's posix threading model "
              "(found: '${kalvo_gcc_dirs}'): g++-mingw-w64-x86-64-posix, which "
              "scripts/install-deps.sh installs, brings it.")
    endif()
    set(KALVO_MINGW_GCC_DIR "${kalvo_gcc_dirs}")
  endif()
endif()
if(NOT EXISTS "${KALVO_MINGW_GCC_DIR}/include/c++/${KALVO_MINGW_PREFIX}")
  message(FATAL_ERROR "${KALVO_MINGW_GCC_DIR} holds no libstdc++ headers for ${KALVO_MINGW_PREFIX}.")
endif()
# The toolchain's flags. libstdc++'s headers in place of clang's own C++
# search, which, finding no GCC, adds folders relative to the build's
# (include/c++). LLD for every link, with libstdc++ and libgcc from GCC's
# folder, and winpthreads, which the posix libstdc++ calls (GCC's driver
# adds it by itself): LLD takes an archive's members wherever the archive
# stands on the command line, and only those something calls, so a link
# without libstdc++ (the drivers, the recorder) takes nothing of it.
set(kalvo_flags_CXX "")
foreach(folder IN ITEMS "" /${KALVO_MINGW_PREFIX} /backward)
  string(APPEND kalvo_flags_CXX " -stdlib++-isystem ${KALVO_MINGW_GCC_DIR}/include/c++${folder}")
endforeach()
string(STRIP "${kalvo_flags_CXX}" kalvo_flags_CXX)
foreach(kind IN ITEMS EXE SHARED MODULE)
  set(kalvo_flags_${kind}_LINKER "-fuse-ld=lld -L${KALVO_MINGW_GCC_DIR} -lpthread")
endforeach()
foreach(kind IN ITEMS CXX EXE_LINKER SHARED_LINKER MODULE_LINKER)
  set(CMAKE_${kind}_FLAGS_INIT "${kalvo_flags_${kind}}")
  # Given on the command line (-DCMAKE_EXE_LINKER_FLAGS=...), these would
  # take the place of the toolchain's, and GNU ld that of LLD without a
  # word: the toolchain's are put before them instead.
  if(DEFINED CACHE{CMAKE_${kind}_FLAGS})
    string(FIND "$CACHE{CMAKE_${kind}_FLAGS}" "${kalvo_flags_${kind}}" kalvo_found)
    if(kalvo_found EQUAL -1)
      set_property(CACHE CMAKE_${kind}_FLAGS PROPERTY VALUE
                   "${kalvo_flags_${kind}} $CACHE{CMAKE_${kind}_FLAGS}")
    endif()
  endif()
endforeach()
