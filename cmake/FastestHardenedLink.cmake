# How the launcher is linked and hardened.
#
# Its cost is paid on every command, and most of it is start-up
# (bench/README.md): every glibc program probes the CPU before main, some 40
# CPUID instructions that each trap to the hypervisor in a virtual machine,
# and a dynamic one pays for the loader too, while static musl starts with
# two system calls. So at every configure the ways to link are tried in turn,
# each by building the launcher itself, and the first that links is taken:
#
#   musl     a static PIE against musl, found by path (SHLAUNCH_MUSL_ROOT,
#            musl-gcc.specs, the distributions' folders)
#   static   a static PIE against the compiler's own libc: musl on Alpine,
#            elsewhere glibc, where its static library is installed
#   dynamic  a PIE linked the usual way
#
# Every way is hardened as Debian builds executables (dpkg-buildflags,
# hardening=+all): PIE, full RELRO with BIND_NOW, the strong stack protector,
# and fortified calls where the libc has them. A piece that CMAKE_CXX_FLAGS
# already settles is left to it, so a distribution's own choice stands.

set(shlaunch_sources ${PROJECT_SOURCE_DIR}/src/main.cpp ${PROJECT_SOURCE_DIR}/src/run_shell_command.cpp)
set(SHLAUNCH_MUSL_ROOT "" CACHE PATH "A musl installation to try first (holding lib/ and include/)")

# The compiler's own support files, which neither libc provides: its
# freestanding headers, crtbeginS.o, crtendS.o and libgcc.a.
foreach(file include crtbeginS.o crtendS.o)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${file}
    OUTPUT_VARIABLE shlaunch_compiler_${file} OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE shlaunch_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
# The compiler's own libc, by its target triple (x86_64-alpine-linux-musl,
# x86_64-linux-gnu).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
  OUTPUT_VARIABLE shlaunch_target OUTPUT_STRIP_TRAILING_WHITESPACE)
if(shlaunch_target MATCHES "musl")
  set(SHLAUNCH_COMPILER_LIBC musl)
else()
  set(SHLAUNCH_COMPILER_LIBC glibc)
endif()

# Sets <prefix>_compile, <prefix>_link and <prefix>_libraries to build the
# launcher WAY (musl, static or dynamic). WITHOUT leaves hardening pieces out
# (PIE, RELRO, STACK_PROTECTOR), and SEPARATE_CODE keeps the linker's default
# layout: for the builds the benchmark compares.
function(shlaunch_link_flags way prefix)
  cmake_parse_arguments(PARSE_ARGV 2 arg SEPARATE_CODE "" WITHOUT)
  set(compile)
  set(link)
  set(libraries)
  if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
    # glibc warns that fortification needs the optimiser. musl has no
    # fortified calls: there it changes no byte, and stands for a libc that has.
    list(APPEND compile $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  endif()
  if("STACK_PROTECTOR" IN_LIST arg_WITHOUT)
    list(APPEND compile -fno-stack-protector)
  elseif(NOT CMAKE_CXX_FLAGS MATCHES "-f(no-)?stack-protector")
    list(APPEND compile -fstack-protector-strong)
  endif()
  if("RELRO" IN_LIST arg_WITHOUT)
    list(APPEND link LINKER:-z,norelro)
  else()
    list(APPEND link LINKER:-z,relro,-z,now)
  endif()
  if("PIE" IN_LIST arg_WITHOUT)
    list(APPEND compile -fno-pie)
    set(pie -no-pie)
    set(static -static)
    set(start_file crt1.o)
  else()
    list(APPEND compile -fPIE)
    set(pie -pie)
    set(static -static-pie)
    set(start_file rcrt1.o)
  endif()
  if(way STREQUAL dynamic)
    list(APPEND link ${pie})
  else()
    list(APPEND link ${static})
    if(NOT arg_SEPARATE_CODE)
      # One text and one data mapping instead of four: read-only data and the
      # ELF headers share the text pages. The separate layout measured 1 to 2%
      # slower to start (bench/README.md).
      list(APPEND link LINKER:-z,noseparate-code)
    endif()
  endif()
  if(way STREQUAL musl)
    # Spelled out, not left to musl-gcc.specs, which cannot make a static
    # PIE; and with -nostdlib and musl's files only, a call that musl lacks
    # fails the link instead of coming from glibc or libstdc++. Start files
    # go before the objects, end files after the libraries.
    list(APPEND compile -nostdinc -isystem${SHLAUNCH_MUSL_INCLUDEDIR} -isystem${shlaunch_compiler_include})
    list(APPEND link -nostdlib ${SHLAUNCH_MUSL_LIBDIR}/${start_file} ${SHLAUNCH_MUSL_LIBDIR}/crti.o
      ${shlaunch_compiler_crtbeginS.o})
    list(APPEND libraries ${SHLAUNCH_MUSL_LIBDIR}/libc.a ${shlaunch_libgcc} ${shlaunch_compiler_crtendS.o}
      ${SHLAUNCH_MUSL_LIBDIR}/crtn.o)
  endif()
  set(${prefix}_compile ${compile} PARENT_SCOPE)
  set(${prefix}_link ${link} PARENT_SCOPE)
  set(${prefix}_libraries ${libraries} PARENT_SCOPE)
endfunction()

# add_hardened_launcher(TARGET WAY [SEPARATE_CODE] [WITHOUT piece...])
function(add_hardened_launcher target way)
  shlaunch_link_flags(${way} flags ${ARGN})
  add_executable(${target} ${shlaunch_sources})
  target_compile_options(${target} PRIVATE ${flags_compile})
  target_link_options(${target} PRIVATE ${flags_link})
  target_link_libraries(${target} PRIVATE ${flags_libraries})
endfunction()

# Sets <result> true when the launcher builds and links WAY here.
function(shlaunch_try_link way result)
  shlaunch_link_flags(${way} flags)
  # Generator expressions mean nothing to try_compile, and the define only
  # matters to the compiler, not to whether the link works.
  list(FILTER flags_compile EXCLUDE REGEX "^\\$<")
  # The result goes to the cache before CMake 3.25, under a name of ours; it
  # is made afresh every time all the same.
  try_compile(SHLAUNCH_LINK_PROBE ${PROJECT_BINARY_DIR}/link_probe/${way}
    SOURCES ${shlaunch_sources}
    COMPILE_DEFINITIONS ${flags_compile}
    LINK_OPTIONS ${flags_link}
    LINK_LIBRARIES ${flags_libraries}
    CXX_STANDARD 17
    OUTPUT_VARIABLE log)
  file(WRITE ${PROJECT_BINARY_DIR}/link_probe/${way}.log "${log}")
  set(${result} ${SHLAUNCH_LINK_PROBE} PARENT_SCOPE)
endfunction()

# Looks for musl where each distribution's package puts it, and tries each
# place found: sets SHLAUNCH_MUSL_LIBDIR and SHLAUNCH_MUSL_INCLUDEDIR to the
# first that links, or clears them. Never cached, so that installing or
# removing musl and configuring again chooses again.
function(shlaunch_find_musl)
  set(arch ${CMAKE_SYSTEM_PROCESSOR})
  set(candidates)
  if(SHLAUNCH_MUSL_ROOT)
    list(APPEND candidates "${SHLAUNCH_MUSL_ROOT}/lib|${SHLAUNCH_MUSL_ROOT}/include")
  endif()
  # musl-gcc is a wrapper that names its musl-gcc.specs, which names the
  # folders: this finds musl wherever a package put it.
  unset(shlaunch_musl_gcc CACHE)
  find_program(shlaunch_musl_gcc NAMES musl-gcc ${arch}-linux-musl-gcc)
  set(musl_gcc ${shlaunch_musl_gcc})
  unset(shlaunch_musl_gcc CACHE)
  if(musl_gcc)
    file(STRINGS ${musl_gcc} wrapper REGEX "gcc.specs")
    string(REGEX MATCH "/[^\" ]+gcc.specs" options_file "${wrapper}")
    if(EXISTS "${options_file}")
      file(READ "${options_file}" options)
      if(options MATCHES "-L *([^ \n]+)")
        set(libdir ${CMAKE_MATCH_1})
        if(options MATCHES "-isystem *([^ \n]+)")
          list(APPEND candidates "${libdir}|${CMAKE_MATCH_1}")
        endif()
      endif()
    endif()
  endif()
  list(APPEND candidates
    "/usr/lib/${arch}-linux-musl|/usr/include/${arch}-linux-musl" # Debian, Ubuntu
    "/usr/${arch}-linux-musl/lib64|/usr/${arch}-linux-musl/include" # Fedora
    "/usr/${arch}-linux-musl/lib|/usr/${arch}-linux-musl/include"
    "/usr/lib/musl/lib|/usr/lib/musl/include" # Arch
    "/usr/local/musl/lib|/usr/local/musl/include") # musl's own default
  foreach(candidate IN LISTS candidates)
    string(REPLACE "|" ";" dirs "${candidate}")
    list(GET dirs 0 SHLAUNCH_MUSL_LIBDIR)
    list(GET dirs 1 SHLAUNCH_MUSL_INCLUDEDIR)
    if(EXISTS ${SHLAUNCH_MUSL_LIBDIR}/rcrt1.o AND EXISTS ${SHLAUNCH_MUSL_LIBDIR}/libc.a
       AND EXISTS ${SHLAUNCH_MUSL_INCLUDEDIR}/stdio.h)
      shlaunch_try_link(musl links)
      if(links)
        set(SHLAUNCH_MUSL_LIBDIR ${SHLAUNCH_MUSL_LIBDIR} PARENT_SCOPE)
        set(SHLAUNCH_MUSL_INCLUDEDIR ${SHLAUNCH_MUSL_INCLUDEDIR} PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
  set(SHLAUNCH_MUSL_LIBDIR "" PARENT_SCOPE)
  set(SHLAUNCH_MUSL_INCLUDEDIR "" PARENT_SCOPE)
endfunction()

# Sets SHLAUNCH_WAY to the fastest way that links here, and SHLAUNCH_LIBC to
# the libc it links against, and says so in one line.
function(shlaunch_choose_way)
  set(SHLAUNCH_MUSL_LIBDIR "")
  set(SHLAUNCH_MUSL_INCLUDEDIR "")
  set(way dynamic)
  set(libc ${SHLAUNCH_COMPILER_LIBC})
  if(SHLAUNCH_STATIC AND SHLAUNCH_MUSL)
    shlaunch_find_musl()
  endif()
  if(SHLAUNCH_MUSL_LIBDIR)
    set(way musl)
    set(libc musl)
    set(where " in ${SHLAUNCH_MUSL_LIBDIR}")
  elseif(SHLAUNCH_STATIC)
    shlaunch_try_link(static links)
    if(links)
      set(way static)
    endif()
  endif()
  if(way STREQUAL dynamic)
    set(said "dynamic PIE against ${libc}${where}")
  else()
    set(said "static PIE against ${libc}${where}")
  endif()
  # Start-up time against the musl build's, measured with bench/.
  set(cost_static 1.4)
  set(cost_dynamic 1.6)
  if(libc STREQUAL glibc AND SHLAUNCH_STATIC AND SHLAUNCH_MUSL)
    string(APPEND said ": starts a command in about ${cost_${way}} times the time of the musl build;"
      " install musl for that (Debian, Ubuntu: musl-tools; Fedora: musl-gcc musl-devel"
      " musl-libc-static; Arch: musl)")
  endif()
  message(STATUS "shlaunch: ${said}")
  set(SHLAUNCH_WAY ${way} PARENT_SCOPE)
  set(SHLAUNCH_LIBC ${libc} PARENT_SCOPE)
  set(SHLAUNCH_MUSL_LIBDIR ${SHLAUNCH_MUSL_LIBDIR} PARENT_SCOPE)
  set(SHLAUNCH_MUSL_INCLUDEDIR ${SHLAUNCH_MUSL_INCLUDEDIR} PARENT_SCOPE)
endfunction()
