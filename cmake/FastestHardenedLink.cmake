# How the launcher is linked. A way is one of: musl, a static PIE against musl; static, one against
# the compiler's own libc; dynamic, a dynamic PIE. Its flags, compile_WAY, link_WAY, libraries_WAY,
# harden it as Debian hardens executables, but for what CMAKE_CXX_FLAGS settles. The launcher's
# cost is mostly start-up: the ways come fastest first (bench/README.md).
set(SHLAUNCH_LINK auto CACHE STRING "How to link the launcher: auto, musl, static or dynamic")
set_property(CACHE SHLAUNCH_LINK PROPERTY STRINGS auto musl static dynamic)
set(SHLAUNCH_MUSL_ROOT "" CACHE PATH "A musl installation to try first (holding lib/ and include/)")
set(shlaunch_sources ${PROJECT_SOURCE_DIR}/src/main.cpp ${PROJECT_SOURCE_DIR}/src/run_shell_command.cpp)

# The compiler's own libc: musl where its target says so (zig c++, Alpine's g++), else glibc.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE compiler_target)
set(SHLAUNCH_COMPILER_LIBC glibc)
if(compiler_target MATCHES musl)
  set(SHLAUNCH_COMPILER_LIBC musl)
endif()

# Where musl is looked for, the first found taken (not cached: configuring again after musl comes
# or goes chooses again):
# 1. SHLAUNCH_MUSL_ROOT;
# 2. Debian's folders, /usr/lib/NAME and /usr/include/NAME, for the compiler's triplet with gnu
#    made musl (arm-linux-musleabihf), then without the ABI suffix that Debian's musl folder lacks
#    (mips64el-linux-gnuabi64: mips64el-linux-musl), then for the processor (x86_64-linux-musl);
# 3. the processor's cross prefix, /usr/PROCESSOR-linux-musl;
# 4. natively only, musl's own prefixes, which hold the host's musl.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-multiarch OUTPUT_VARIABLE triplet
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
string(REPLACE gnu musl with_abi "${triplet}")
string(REGEX REPLACE "-gnu.*$" "-musl" without_abi "${triplet}")
if(SHLAUNCH_MUSL_ROOT)
  set(musl_lib ${SHLAUNCH_MUSL_ROOT}/lib)
  set(musl_include ${SHLAUNCH_MUSL_ROOT}/include)
endif()
foreach(name ${with_abi} ${without_abi} ${CMAKE_SYSTEM_PROCESSOR}-linux-musl)
  list(APPEND musl_lib /usr/lib/${name})
  list(APPEND musl_include /usr/include/${name})
endforeach()
list(APPEND musl_lib /usr/${CMAKE_SYSTEM_PROCESSOR}-linux-musl/lib64)
list(APPEND musl_include /usr/${CMAKE_SYSTEM_PROCESSOR}-linux-musl/include)
if(NOT CMAKE_CROSSCOMPILING)
  list(APPEND musl_lib /usr/lib/musl/lib /usr/local/musl/lib)
  list(APPEND musl_include /usr/lib/musl/include /usr/local/musl/include)
endif()
find_path(SHLAUNCH_MUSL_LIBDIR rcrt1.o NO_CACHE NO_DEFAULT_PATH PATHS ${musl_lib})
find_path(SHLAUNCH_MUSL_INCLUDEDIR stdio.h NO_CACHE NO_DEFAULT_PATH PATHS ${musl_include})
string(REGEX REPLACE "/$" "" SHLAUNCH_MUSL_LIBDIR "${SHLAUNCH_MUSL_LIBDIR}") # as NO_CACHE leaves it

# One text and one data mapping instead of four: 1 to 2% faster to start. Relative relocations
# unpacked for musl, which applies packed ones (DT_RELR, that a distribution's LDFLAGS may ask
# for) only from 1.2.4 on; where the linker packs none for the target, it would only warn of it.
unset(SHLAUNCH_LINKER_NOSEPARATE_CODE CACHE)
unset(SHLAUNCH_LINKER_NOPACK_RELOCS CACHE)
include(CheckLinkerFlag)
check_linker_flag(CXX LINKER:-z,noseparate-code SHLAUNCH_LINKER_NOSEPARATE_CODE)
check_linker_flag(CXX LINKER:--fatal-warnings,-z,nopack-relative-relocs SHLAUNCH_LINKER_NOPACK_RELOCS)

set(compile_static -fPIE)
if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE" AND NOT CMAKE_BUILD_TYPE STREQUAL Debug)
  list(APPEND compile_static -D_FORTIFY_SOURCE=2) # glibc wants the optimiser for it
endif()
if(NOT CMAKE_CXX_FLAGS MATCHES "-f(no-)?stack-protector")
  list(APPEND compile_static -fstack-protector-strong)
endif()
set(compile_dynamic ${compile_static})
set(link_dynamic LINKER:-z,relro,-z,now -pie)
# What -static-pie asks of the linker, spelled out for gcc 12 on arm, which takes it for -pie.
set(link_static LINKER:-z,relro,-z,now -static-pie LINKER:-static,--no-dynamic-linker,-z,text)
if(SHLAUNCH_LINKER_NOSEPARATE_CODE)
  list(APPEND link_static LINKER:-z,noseparate-code)
endif()
# musl's start files and libraries alone, so that a call musl lacks fails the link instead of
# coming from glibc or libstdc++ (with -B alone, lld takes glibc's libc.a). Not musl-gcc, whose
# -static-pie makes a dynamic program.
set(compile_musl ${compile_static} -nostdinc -isystem${SHLAUNCH_MUSL_INCLUDEDIR})
set(link_musl ${link_static} -B${SHLAUNCH_MUSL_LIBDIR}/ -L${SHLAUNCH_MUSL_LIBDIR} -nodefaultlibs)
if(SHLAUNCH_LINKER_NOPACK_RELOCS)
  list(APPEND link_musl LINKER:-z,nopack-relative-relocs)
endif()
set(libraries_musl c gcc gcc_eh c) # arm's libgcc calls raise, its unwinder is in gcc_eh

function(add_hardened_launcher target way)
  add_executable(${target} ${shlaunch_sources})
  target_compile_options(${target} PRIVATE ${compile_${way}})
  target_link_options(${target} PRIVATE ${link_${way}})
  target_link_libraries(${target} PRIVATE ${libraries_${way}})
endfunction()

# Sets <result> to what linking WAY makes here, and <result>_static and _pie (ON or OFF), read off
# the binary (zig c++ ignores -static-pie), and natively whether it starts: with no argument the
# launcher only resets its signals and exits 255.
find_program(SHLAUNCH_READELF NAMES readelf llvm-readelf REQUIRED)
function(shlaunch_try_link way result)
  set(probe ${PROJECT_BINARY_DIR}/link_probe/${way})
  try_compile(links ${probe} SOURCES ${shlaunch_sources} CXX_STANDARD 17 COMPILE_DEFINITIONS ${compile_${way}}
    LINK_OPTIONS ${link_${way}} LINK_LIBRARIES ${libraries_${way}} COPY_FILE ${probe}.out OUTPUT_VARIABLE log)
  file(WRITE ${probe}.log "${log}")
  set(made "the link fails")
  if(links)
    execute_process(COMMAND ${SHLAUNCH_READELF} -hlW ${probe}.out OUTPUT_VARIABLE elf)
    set(linkage static)
    set(static ON)
    if(elf MATCHES INTERP)
      set(linkage dynamic)
      set(static OFF)
    endif()
    set(pie OFF)
    set(made "${linkage} executable, not PIE")
    if(elf MATCHES "Type: +DYN")
      set(pie ON)
      set(made "${linkage} PIE")
    endif()
    if(NOT CMAKE_CROSSCOMPILING)
      execute_process(COMMAND ${probe}.out RESULT_VARIABLE started)
      if(NOT started EQUAL 255)
        set(made "a ${made} that cannot start: ${started}")
      endif()
    endif()
  endif()
  set(${result} "${made}" PARENT_SCOPE)
  set(${result}_static ${static} PARENT_SCOPE)
  set(${result}_pie ${pie} PARENT_SCOPE)
endfunction()

# SHLAUNCH_WAY: the way asked for, or under auto the first that makes what it should; configure
# says what it made, and why not each way before it, and leaves plain values for the packages and
# CI: SHLAUNCH_LIBC (musl or glibc), SHLAUNCH_STATIC and SHLAUNCH_PIE (ON or OFF).
set(ways musl static dynamic)
set(asked ${SHLAUNCH_LINK})
if(SHLAUNCH_COMPILER_LIBC STREQUAL musl) # then static is musl, and comes first
  set(ways static musl dynamic)
  string(REPLACE musl static asked ${asked})
endif()
set(libc_musl musl)
set(libc_static ${SHLAUNCH_COMPILER_LIBC})
set(libc_dynamic ${SHLAUNCH_COMPILER_LIBC})
set(where_musl " in ${SHLAUNCH_MUSL_LIBDIR}")
foreach(way IN LISTS ways)
  set(libc ${libc_${way}})
  if(SHLAUNCH_WAY OR NOT asked MATCHES "^(auto|${way})$")
    continue()
  elseif(way STREQUAL musl AND NOT (SHLAUNCH_MUSL_LIBDIR AND SHLAUNCH_MUSL_INCLUDEDIR))
    list(APPEND not_taken "not musl: not installed (Debian, Ubuntu: musl-dev, for another architecture musl-dev:ARCH. Fedora: musl-gcc musl-devel musl-libc-static. Arch: musl)")
    continue()
  endif()
  shlaunch_try_link(${way} made)
  if(made STREQUAL "static PIE" OR (way STREQUAL dynamic AND made MATCHES "^dynamic"))
    set(SHLAUNCH_WAY ${way})
    set(SHLAUNCH_LIBC ${libc} CACHE INTERNAL "")
    set(SHLAUNCH_STATIC ${made_static} CACHE INTERNAL "")
    set(SHLAUNCH_PIE ${made_pie} CACHE INTERNAL "")
    message(STATUS "shlaunch: ${made} against ${libc}${where_${way}}")
  else()
    list(APPEND not_taken "not ${way} against ${libc}${where_${way}}: ${made} (${PROJECT_BINARY_DIR}/link_probe/${way}.log)")
  endif()
endforeach()
if(NOT SHLAUNCH_WAY)
  list(JOIN not_taken "\n  " why)
  message(FATAL_ERROR "SHLAUNCH_LINK is ${SHLAUNCH_LINK} (of auto, musl, static, dynamic), which cannot be linked here:\n  ${why}\n"
    "Configure with -DSHLAUNCH_LINK=auto to take the fastest way that links.")
endif()
foreach(line IN LISTS not_taken)
  message(STATUS "shlaunch:   ${line}")
endforeach()
