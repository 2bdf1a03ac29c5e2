# How the launcher is linked and hardened. Most of its cost is start-up, and
# static musl starts fastest (bench/README.md). SHLAUNCH_LINK chooses:
#
#   musl     a static PIE against musl: the compiler's own libc where that is
#            musl (Alpine), else found by path (SHLAUNCH_MUSL_ROOT,
#            musl-gcc.specs, the distributions' folders)
#   static   a static PIE against the compiler's own libc
#   dynamic  a PIE linked the usual way
#   auto     the first of these that links here, tried at every configure
#
# Every way is hardened as Debian builds executables (hardening=+all): PIE,
# full RELRO with BIND_NOW, the strong stack protector, and fortified calls
# where the libc has them; what CMAKE_CXX_FLAGS already settles is left to it.

set(shlaunch_sources ${PROJECT_SOURCE_DIR}/src/main.cpp ${PROJECT_SOURCE_DIR}/src/run_shell_command.cpp)
set(SHLAUNCH_LINK auto CACHE STRING "How to link the launcher: auto, musl, static or dynamic")
set_property(CACHE SHLAUNCH_LINK PROPERTY STRINGS auto musl static dynamic)
set(SHLAUNCH_MUSL_ROOT "" CACHE PATH "A musl installation to try first (holding lib/ and include/)")

# The options of release 1.0.0, for one more release.
if(DEFINED SHLAUNCH_STATIC OR DEFINED SHLAUNCH_MUSL)
  if(DEFINED SHLAUNCH_STATIC AND NOT SHLAUNCH_STATIC)
    set(SHLAUNCH_LINK dynamic CACHE STRING "" FORCE)
  elseif(DEFINED SHLAUNCH_MUSL AND NOT SHLAUNCH_MUSL)
    set(SHLAUNCH_LINK static CACHE STRING "" FORCE)
  endif()
  message(DEPRECATION "SHLAUNCH_STATIC and SHLAUNCH_MUSL are replaced by SHLAUNCH_LINK, "
    "now set to ${SHLAUNCH_LINK} from them")
  unset(SHLAUNCH_STATIC CACHE)
  unset(SHLAUNCH_MUSL CACHE)
endif()
if(NOT SHLAUNCH_LINK MATCHES "^(auto|musl|static|dynamic)$")
  message(FATAL_ERROR "SHLAUNCH_LINK is '${SHLAUNCH_LINK}': it takes auto, musl, static or dynamic")
endif()

# The compiler's own support files, which neither libc provides: its
# freestanding headers, crtbeginS.o, crtendS.o and libgcc.a.
foreach(file include crtbeginS.o crtendS.o)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${file}
    OUTPUT_VARIABLE shlaunch_compiler_${file} OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endforeach()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE shlaunch_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
# The compiler's own libc, by its target triple (x86_64-alpine-linux-musl,
# x86_64-linux-gnu).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
  OUTPUT_VARIABLE shlaunch_target OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(shlaunch_target MATCHES "musl")
  set(SHLAUNCH_COMPILER_LIBC musl)
else()
  set(SHLAUNCH_COMPILER_LIBC glibc)
endif()

# One text and one data mapping instead of four: read-only data and the ELF
# headers share the text pages, 1 to 2% faster to start (bench/README.md).
# Optional: a linker without it loses only this.
unset(SHLAUNCH_LINKER_NOSEPARATE_CODE CACHE)
include(CheckLinkerFlag)
check_linker_flag(CXX LINKER:-z,noseparate-code SHLAUNCH_LINKER_NOSEPARATE_CODE)

# Sets <prefix>_compile, <prefix>_link and <prefix>_libraries to build the
# launcher WAY (musl, static or dynamic).
function(shlaunch_link_flags way prefix)
  set(compile -fPIE)
  set(link LINKER:-z,relro,-z,now)
  set(libraries)
  if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
    # glibc warns that fortification needs the optimiser. musl has no
    # fortified calls: there it changes no byte, and stands for a libc that has.
    list(APPEND compile $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  endif()
  if(NOT CMAKE_CXX_FLAGS MATCHES "-f(no-)?stack-protector")
    list(APPEND compile -fstack-protector-strong)
  endif()
  if(way STREQUAL dynamic)
    list(APPEND link -pie)
  else()
    list(APPEND link -static-pie)
    if(SHLAUNCH_LINKER_NOSEPARATE_CODE)
      list(APPEND link LINKER:-z,noseparate-code)
    endif()
  endif()
  if(way STREQUAL musl)
    # Spelled out, not left to musl-gcc.specs, which cannot make a static
    # PIE; and with -nostdlib and musl's files only, a call that musl lacks
    # fails the link instead of coming from glibc or libstdc++. Start files
    # go before the objects, end files after the libraries.
    list(APPEND compile -nostdinc -isystem${SHLAUNCH_MUSL_INCLUDEDIR} -isystem${shlaunch_compiler_include})
    list(APPEND link -nostdlib ${SHLAUNCH_MUSL_LIBDIR}/rcrt1.o ${SHLAUNCH_MUSL_LIBDIR}/crti.o
      ${shlaunch_compiler_crtbeginS.o})
    list(APPEND libraries ${SHLAUNCH_MUSL_LIBDIR}/libc.a ${shlaunch_libgcc} ${shlaunch_compiler_crtendS.o}
      ${SHLAUNCH_MUSL_LIBDIR}/crtn.o)
  endif()
  set(${prefix}_compile ${compile} PARENT_SCOPE)
  set(${prefix}_link ${link} PARENT_SCOPE)
  set(${prefix}_libraries ${libraries} PARENT_SCOPE)
endfunction()

# add_hardened_launcher(TARGET WAY)
function(add_hardened_launcher target way)
  shlaunch_link_flags(${way} flags)
  add_executable(${target} ${shlaunch_sources})
  target_compile_options(${target} PRIVATE ${flags_compile})
  target_link_options(${target} PRIVATE ${flags_link})
  target_link_libraries(${target} PRIVATE ${flags_libraries})
endfunction()

# What a link made is read off the binary where readelf is at hand: some
# compilers let an option pass unused (zig c++ ignores -static-pie, and with
# -pie links musl statically).
find_program(SHLAUNCH_READELF NAMES readelf llvm-readelf)

# Sets <result> true when the launcher builds and links WAY here, and
# <result>_made to what the link made ("static PIE", "dynamic PIE"); a static
# way must make a static PIE. Else sets <result>_why to the probe's first
# line of complaint and where its log is.
function(shlaunch_try_link way result)
  shlaunch_link_flags(${way} flags)
  # Generator expressions mean nothing to try_compile, and the define only
  # matters to the compiler, not to whether the link works.
  list(FILTER flags_compile EXCLUDE REGEX "^\\$<")
  # The result goes to the cache before CMake 3.25, under a name of ours; it
  # is made afresh every time all the same.
  set(probe ${PROJECT_BINARY_DIR}/link_probe/${way})
  file(REMOVE ${probe}.out)
  try_compile(SHLAUNCH_LINK_PROBE ${probe}
    SOURCES ${shlaunch_sources}
    COMPILE_DEFINITIONS ${flags_compile}
    LINK_OPTIONS ${flags_link}
    LINK_LIBRARIES ${flags_libraries}
    CXX_STANDARD 17
    COPY_FILE ${probe}.out
    OUTPUT_VARIABLE log)
  file(WRITE ${probe}.log "${log}")
  set(made "static PIE")
  if(way STREQUAL dynamic)
    set(made "dynamic PIE")
  endif()
  if(SHLAUNCH_LINK_PROBE AND SHLAUNCH_READELF)
    execute_process(COMMAND ${SHLAUNCH_READELF} -hlW ${probe}.out OUTPUT_VARIABLE elf ERROR_QUIET)
    set(made static)
    if(elf MATCHES "INTERP")
      set(made dynamic)
    endif()
    if(elf MATCHES "Type: +DYN")
      string(APPEND made " PIE")
    else()
      string(APPEND made " executable, not PIE")
    endif()
    if(NOT way STREQUAL dynamic AND NOT made STREQUAL "static PIE")
      set(SHLAUNCH_LINK_PROBE FALSE)
      set(log "the link made a ${made}")
    endif()
  endif()
  set(${result} ${SHLAUNCH_LINK_PROBE} PARENT_SCOPE)
  set(${result}_made ${made} PARENT_SCOPE)
  string(REGEX MATCH "[^\n]*(error:|unknown option|unsupported|cannot find|undefined|not found|link made)[^\n]*"
    why "${log}")
  string(STRIP "${why}" why)
  string(REPLACE ";" "," why "${why}") # one item of the caller's lists
  set(${result}_why "${why} (${probe}.log)" PARENT_SCOPE)
endfunction()

# Looks for musl where each distribution's package puts it, and tries each
# place found: sets SHLAUNCH_MUSL_LIBDIR and SHLAUNCH_MUSL_INCLUDEDIR to the
# first that links, or clears them and sets shlaunch_musl_why. Never
# cached, so that installing or removing musl and configuring again chooses
# again.
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
  set(why "not installed (Debian, Ubuntu: musl-tools. Fedora: musl-gcc musl-devel musl-libc-static. Arch: musl)")
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
      set(why "in ${SHLAUNCH_MUSL_LIBDIR}: ${links_why}")
    endif()
  endforeach()
  set(SHLAUNCH_MUSL_LIBDIR "" PARENT_SCOPE)
  set(SHLAUNCH_MUSL_INCLUDEDIR "" PARENT_SCOPE)
  set(shlaunch_musl_why "${why}" PARENT_SCOPE)
endfunction()

# Sets SHLAUNCH_WAY to the way SHLAUNCH_LINK asks for, or under auto to the
# fastest that links here, SHLAUNCH_LIBC to the libc it links against and
# SHLAUNCH_STATIC_PIE to whether it made a static PIE. Says which in one
# line, and under auto why each faster way was not taken.
function(shlaunch_choose_way)
  set(SHLAUNCH_MUSL_LIBDIR "")
  set(SHLAUNCH_MUSL_INCLUDEDIR "")
  set(way "")
  set(not_taken)
  # The static ways, fastest first: where the compiler's own libc is musl,
  # that comes before a musl found by path, and stands for musl.
  set(static_name "static ${SHLAUNCH_COMPILER_LIBC}")
  set(static_asked "^(auto|static)$")
  set(order musl static)
  if(SHLAUNCH_COMPILER_LIBC STREQUAL musl)
    set(static_name "musl, the compiler's own")
    set(static_asked "^(auto|musl|static)$")
    set(order static musl)
  endif()
  foreach(candidate IN LISTS order)
    if(candidate STREQUAL musl AND SHLAUNCH_LINK MATCHES "^(auto|musl)$")
      shlaunch_find_musl()
      if(SHLAUNCH_MUSL_LIBDIR)
        set(way musl)
        set(links_made "static PIE")
        break()
      endif()
      list(APPEND not_taken "musl: ${shlaunch_musl_why}")
    elseif(candidate STREQUAL static AND SHLAUNCH_LINK MATCHES "${static_asked}")
      shlaunch_try_link(static links)
      if(links)
        set(way static)
        break()
      endif()
      list(APPEND not_taken "${static_name}: ${links_why}")
    endif()
  endforeach()
  if(NOT way AND SHLAUNCH_LINK MATCHES "^(auto|dynamic)$")
    # Tried only to say what it makes: if it fails, so does the build.
    set(way dynamic)
    shlaunch_try_link(dynamic links)
  endif()
  if(NOT way)
    list(JOIN not_taken "\n  " why)
    message(FATAL_ERROR "SHLAUNCH_LINK is ${SHLAUNCH_LINK}, which cannot be linked here:\n  ${why}\n"
      "Configure with -DSHLAUNCH_LINK=auto to take the fastest way that links.")
  endif()

  set(libc ${SHLAUNCH_COMPILER_LIBC})
  if(way STREQUAL musl)
    set(libc musl)
    set(where " in ${SHLAUNCH_MUSL_LIBDIR}")
  endif()
  set(said "${links_made} against ${libc}${where}")
  if(links_made STREQUAL "static PIE" AND NOT SHLAUNCH_LINKER_NOSEPARATE_CODE)
    string(APPEND said ", in the linker's default layout (it lacks -z noseparate-code)")
  endif()
  # Start-up time against the musl build's, measured with bench/.
  set(cost_static 1.4)
  set(cost_dynamic 1.6)
  if(libc STREQUAL glibc)
    string(APPEND said ": starts a command in about ${cost_${way}} times the time of the musl build")
  endif()
  message(STATUS "shlaunch: ${said}")
  if(SHLAUNCH_LINK STREQUAL auto)
    foreach(line IN LISTS not_taken)
      message(STATUS "shlaunch:   not ${line}")
    endforeach()
  endif()
  set(SHLAUNCH_WAY ${way} PARENT_SCOPE)
  set(SHLAUNCH_LIBC ${libc} PARENT_SCOPE)
  if(links_made STREQUAL "static PIE")
    set(SHLAUNCH_STATIC_PIE ON PARENT_SCOPE)
  else()
    set(SHLAUNCH_STATIC_PIE OFF PARENT_SCOPE)
  endif()
  set(SHLAUNCH_MUSL_LIBDIR ${SHLAUNCH_MUSL_LIBDIR} PARENT_SCOPE)
  set(SHLAUNCH_MUSL_INCLUDEDIR ${SHLAUNCH_MUSL_INCLUDEDIR} PARENT_SCOPE)
endfunction()
