# Debian's hardening for the programs we ship, which parse untrusted network
# input: the flags dpkg-buildflags gives with hardening=+all, asked for the
# architecture the compiler builds for, so that a cross build gets that
# architecture's set. Sanitizer and fuzzing builds keep their own flags, and
# an unoptimised build cannot use _FORTIFY_SOURCE.
set(vistrel_hardening_default OFF)
if(VISTREL_SANITIZE STREQUAL "" AND NOT VISTREL_FUZZ AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  set(vistrel_hardening_default ON)
endif()
option(VISTREL_HARDENING "Build with Debian's hardening flags (dpkg-buildflags hardening=+all)"
       ${vistrel_hardening_default})

# Fills `out` with the flags of `variable` that hardening=+all adds to what
# hardening=-all gives: the hardening alone, without dpkg's -O2, -g or path maps.
# Where the compiler does not make PIE by itself, dpkg's PIE specs are among them.
function(vistrel_dpkg_hardening variable host_arch out)
  foreach(mode +all -all)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=${mode}
              DEB_HOST_ARCH=${host_arch} ${VISTREL_DPKG_BUILDFLAGS} --get ${variable}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "dpkg-buildflags --get ${variable} failed for ${host_arch}")
    endif()
    separate_arguments(flags_${mode} UNIX_COMMAND "${flags}")
  endforeach()
  set(added ${flags_+all})
  if(flags_-all)
    list(REMOVE_ITEM added ${flags_-all})
  endif()
  set(${out} ${added} PARENT_SCOPE)
endfunction()

if(VISTREL_HARDENING)
  find_program(VISTREL_DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
  find_program(VISTREL_DPKG_ARCHITECTURE dpkg-architecture REQUIRED)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
                  OUTPUT_VARIABLE triplet OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${VISTREL_DPKG_ARCHITECTURE} -t ${triplet} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE host_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  RESULT_VARIABLE failed)
  if(failed OR host_arch STREQUAL "")
    message(FATAL_ERROR "dpkg-architecture does not know the compiler's target ${triplet}")
  endif()
  vistrel_dpkg_hardening(CPPFLAGS ${host_arch} cppflags)
  vistrel_dpkg_hardening(CXXFLAGS ${host_arch} cxxflags)
  vistrel_dpkg_hardening(LDFLAGS ${host_arch} ldflags)
  # dpkg before 1.22 leaves stack-clash protection out of hardening=+all.
  if(NOT "-fstack-clash-protection" IN_LIST cxxflags)
    include(CheckCXXCompilerFlag)
    check_cxx_compiler_flag(-fstack-clash-protection VISTREL_HAS_STACK_CLASH)
    if(VISTREL_HAS_STACK_CLASH)
      list(APPEND cxxflags -fstack-clash-protection)
    endif()
  endif()
  add_compile_options(${cppflags} ${cxxflags})
  add_link_options(${ldflags})
  list(JOIN cppflags " " shown_cpp)
  list(JOIN cxxflags " " shown_cxx)
  list(JOIN ldflags " " shown_ld)
  message(STATUS "Hardening for ${host_arch}: ${shown_cpp} ${shown_cxx} ${shown_ld}")
endif()
