# How the launcher is linked: its cost is mostly start-up, and a static PIE
# against musl starts fastest (bench/README.md). Each way is hardened as Debian
# hardens executables, but for what CMAKE_CXX_FLAGS already settles.
set(SHLAUNCH_LINK auto CACHE STRING "How to link the launcher: auto, musl, static or dynamic")
set_property(CACHE SHLAUNCH_LINK PROPERTY STRINGS auto musl static dynamic)
set(SHLAUNCH_MUSL_ROOT "" CACHE PATH "A musl installation to try first (holding lib/ and include/)")
set(shlaunch_sources ${PROJECT_SOURCE_DIR}/src/main.cpp ${PROJECT_SOURCE_DIR}/src/run_shell_command.cpp)

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE compiler_target)
string(REGEX MATCH "musl|glibc$" SHLAUNCH_COMPILER_LIBC "${compiler_target} glibc") # musl where the target says so
# musl for the target: by the processor's name and by Debian's triplet (the
# compiler's, gnu made musl: arm-linux-musleabihf, and without an ABI suffix
# that Debian's musl folder lacks: -musl for -gnuabi64); musl's
# own folders only natively, as they hold the host's. Not cached, so that
# configuring again after musl comes or goes chooses again.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-multiarch OUTPUT_VARIABLE triplet
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(arch ${CMAKE_SYSTEM_PROCESSOR})
set(musl_lib /usr/lib/${arch}-linux-musl /usr/${arch}-linux-musl/lib64)
set(musl_include /usr/include/${arch}-linux-musl /usr/${arch}-linux-musl/include)
if(triplet)
  string(REPLACE gnu musl with_abi "${triplet}")
  string(REGEX REPLACE "-gnu.*$" "-musl" without_abi "${triplet}")
  list(PREPEND musl_lib /usr/lib/${with_abi} /usr/lib/${without_abi})
  list(PREPEND musl_include /usr/include/${with_abi} /usr/include/${without_abi})
endif()
if(SHLAUNCH_MUSL_ROOT)
  list(PREPEND musl_lib ${SHLAUNCH_MUSL_ROOT}/lib)
  list(PREPEND musl_include ${SHLAUNCH_MUSL_ROOT}/include)
endif()
if(NOT CMAKE_CROSSCOMPILING)
  list(APPEND musl_lib /usr/lib/musl/lib /usr/local/musl/lib)
  list(APPEND musl_include /usr/lib/musl/include /usr/local/musl/include)
endif()
find_path(SHLAUNCH_MUSL_LIBDIR rcrt1.o NO_CACHE NO_DEFAULT_PATH PATHS ${musl_lib})
find_path(SHLAUNCH_MUSL_INCLUDEDIR stdio.h NO_CACHE NO_DEFAULT_PATH PATHS ${musl_include})
string(REGEX REPLACE "/$" "" SHLAUNCH_MUSL_LIBDIR "${SHLAUNCH_MUSL_LIBDIR}") # as NO_CACHE leaves it

# One text and one data mapping instead of four: 1 to 2% faster to start.
# Relative relocations unpacked for musl, which applies packed ones (DT_RELR,
# that a distribution's LDFLAGS may ask for) only from 1.2.4 on; where the
# linker packs none for the target, it would only warn of the option.
unset(SHLAUNCH_LINKER_NOSEPARATE_CODE CACHE)
unset(SHLAUNCH_LINKER_NOPACK_RELOCS CACHE)
include(CheckLinkerFlag)
check_linker_flag(CXX LINKER:-z,noseparate-code SHLAUNCH_LINKER_NOSEPARATE_CODE)
check_linker_flag(CXX LINKER:--fatal-warnings,-z,nopack-relative-relocs SHLAUNCH_LINKER_NOPACK_RELOCS)

# The flags of each way: compile_WAY, link_WAY and libraries_WAY.
set(compile_static -fPIE)
if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE" AND NOT CMAKE_BUILD_TYPE STREQUAL Debug)
  list(APPEND compile_static -D_FORTIFY_SOURCE=2) # glibc wants the optimiser for it
endif()
if(NOT CMAKE_CXX_FLAGS MATCHES "-f(no-)?stack-protector")
  list(APPEND compile_static -fstack-protector-strong)
endif()
set(compile_dynamic ${compile_static})
set(link_dynamic LINKER:-z,relro,-z,now -pie)
# What -static-pie asks of the linker, spelled out for gcc 12 on arm, which
# takes -static-pie for -pie.
set(link_static LINKER:-z,relro,-z,now -static-pie LINKER:-static,--no-dynamic-linker,-z,text)
if(SHLAUNCH_LINKER_NOSEPARATE_CODE)
  list(APPEND link_static LINKER:-z,noseparate-code)
endif()
# musl's start files and libraries alone, so that a call musl lacks fails the
# link instead of coming from glibc or libstdc++ (with -B alone, lld takes
# glibc's libc.a). Not musl-gcc, whose -static-pie makes a dynamic program.
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

# Sets <result> to what linking WAY makes here, and <result>_linkage and _pie,
# read off the binary (zig c++ ignores -static-pie), and natively whether it
# starts: with no argument the launcher only resets its signals and exits 255.
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
    if(elf MATCHES INTERP)
      set(linkage dynamic)
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
  set(${result}_linkage ${linkage} PARENT_SCOPE)
  set(${result}_pie ${pie} PARENT_SCOPE)
endfunction()

# SHLAUNCH_WAY: the way asked for, or under auto the first that makes what it
# should; configure says what it made, and why not each way before it, and
# leaves plain values for the packages and CI: SHLAUNCH_LIBC (musl or glibc),
# SHLAUNCH_LINKAGE (static or dynamic) and SHLAUNCH_PIE.
set(ways musl static dynamic)
set(asked ${SHLAUNCH_LINK})
if(SHLAUNCH_COMPILER_LIBC STREQUAL musl) # then static is musl, and comes first
  set(ways static musl dynamic)
  string(REPLACE musl static asked ${asked})
endif()
set(where_musl " in ${SHLAUNCH_MUSL_LIBDIR}")
foreach(way IN LISTS ways)
  set(libc ${SHLAUNCH_COMPILER_LIBC})
  if(way STREQUAL musl)
    set(libc musl)
  endif()
  if(SHLAUNCH_WAY OR NOT asked MATCHES "^(auto|${way})$")
  elseif(way STREQUAL musl AND NOT (SHLAUNCH_MUSL_LIBDIR AND SHLAUNCH_MUSL_INCLUDEDIR))
    list(APPEND not_taken "not musl: not installed (Debian, Ubuntu: musl-dev, for another architecture musl-dev:ARCH. Fedora: musl-gcc musl-devel musl-libc-static. Arch: musl)")
  else()
    shlaunch_try_link(${way} made)
    if(made STREQUAL "static PIE" OR (way STREQUAL dynamic AND made MATCHES "^dynamic"))
      set(SHLAUNCH_WAY ${way})
      set(SHLAUNCH_LIBC ${libc} CACHE INTERNAL "")
      set(SHLAUNCH_LINKAGE ${made_linkage} CACHE INTERNAL "")
      set(SHLAUNCH_PIE ${made_pie} CACHE INTERNAL "")
      message(STATUS "shlaunch: ${made} against ${libc}${where_${way}}")
    else()
      list(APPEND not_taken "not ${way} against ${libc}${where_${way}}: ${made} (${PROJECT_BINARY_DIR}/link_probe/${way}.log)")
    endif()
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
