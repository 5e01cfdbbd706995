# Stops a release configuration that would ship a test setting: a product or
# runtime server on this machine or a private network, a port other than 443,
# or a runtime package other than Microsoft's KB2999226. The endpoints are
# compiled in and the staging presets change exactly these variables, so one
# stale -D or cache entry is all it takes to ship an installer that can never
# download anything.
#
# VANTREL_RELEASE is set only by the release preset; staging and test builds
# are not checked. VANTREL_RELEASE_GUARD_OVERRIDE (ON, or better a short
# reason) lets a deliberate exception through, with a warning that names
# every setting it let through.
option(VANTREL_RELEASE "this is a release configuration: refuse test endpoints" OFF)
set(VANTREL_RELEASE_GUARD_OVERRIDE "" CACHE STRING
    "ON or a reason: configure a release build even though the release guard refuses its settings")

# Sets out_var to why `host` is not a public server name, or to "" when it is.
function(_vantrel_host_problem host out_var)
  string(TOLOWER "${host}" name)
  string(REGEX REPLACE "\\.$" "" name "${name}")
  set(problem "")
  if(name STREQUAL "")
    set(problem "is empty")
  elseif(name STREQUAL "localhost" OR name MATCHES "\\.localhost$")
    set(problem "names this machine")
  elseif(name MATCHES ":")
    # An IPv6 literal: loopback, unspecified and IPv4-mapped addresses start
    # with "::"; fc00::/7 is private, fe80::/10 link-local.
    string(REGEX REPLACE "^\\[|\\]$" "" address "${name}")
    if(address MATCHES "^::" OR address MATCHES "^f[cd][0-9a-f]*:" OR address MATCHES "^fe[89ab][0-9a-f]*:")
      set(problem "is a loopback, private or link-local IPv6 address")
    endif()
  elseif(name MATCHES "^((0x[0-9a-f]*|[0-9]+)\\.)*(0x[0-9a-f]*|[0-9]+)$")
    # Numeric. Windows also resolves short and hex forms ("127.1",
    # "0x7f000001"), so only a plain dotted quad can be judged; anything else
    # is refused rather than guessed at.
    if(NOT name MATCHES "^(0|[1-9][0-9]?[0-9]?)\\.(0|[1-9][0-9]?[0-9]?)\\.(0|[1-9][0-9]?[0-9]?)\\.(0|[1-9][0-9]?[0-9]?)$")
      set(problem "is a numeric address in a form that can't be checked")
    else()
      set(a ${CMAKE_MATCH_1})
      set(b ${CMAKE_MATCH_2})
      set(c ${CMAKE_MATCH_3})
      set(d ${CMAKE_MATCH_4})
      if(a GREATER 255 OR b GREATER 255 OR c GREATER 255 OR d GREATER 255)
        set(problem "is not a valid IPv4 address")
      elseif(a EQUAL 127)
        set(problem "is a loopback address")
      elseif(a EQUAL 0 OR a EQUAL 10 OR (a EQUAL 172 AND b GREATER_EQUAL 16 AND b LESS_EQUAL 31)
             OR (a EQUAL 192 AND b EQUAL 168) OR (a EQUAL 169 AND b EQUAL 254)
             OR (a EQUAL 100 AND b GREATER_EQUAL 64 AND b LESS_EQUAL 127))
        set(problem "is a private, link-local or unspecified address")
      endif()
    endif()
  endif()
  set(${out_var} "${problem}" PARENT_SCOPE)
endfunction()

if(VANTREL_RELEASE)
  set(_vantrel_guard_problems "")
  foreach(_server PRODUCT RUNTIME)
    _vantrel_host_problem("${VANTREL_${_server}_HOST}" _problem)
    if(_problem)
      list(APPEND _vantrel_guard_problems "VANTREL_${_server}_HOST \"${VANTREL_${_server}_HOST}\" ${_problem}")
    endif()
    if(NOT VANTREL_${_server}_PORT STREQUAL "443")
      list(APPEND _vantrel_guard_problems "VANTREL_${_server}_PORT is ${VANTREL_${_server}_PORT}, not 443")
    endif()
  endforeach()
  if(NOT VANTREL_RUNTIME_SIZE STREQUAL VANTREL_PINNED_RUNTIME_SIZE)
    list(APPEND _vantrel_guard_problems
         "VANTREL_RUNTIME_SIZE is ${VANTREL_RUNTIME_SIZE}, not KB2999226's ${VANTREL_PINNED_RUNTIME_SIZE}")
  endif()
  if(NOT VANTREL_RUNTIME_SHA256 STREQUAL VANTREL_PINNED_RUNTIME_SHA256)
    list(APPEND _vantrel_guard_problems
         "VANTREL_RUNTIME_SHA256 is ${VANTREL_RUNTIME_SHA256}, not KB2999226's ${VANTREL_PINNED_RUNTIME_SHA256}")
  endif()

  if(_vantrel_guard_problems)
    list(JOIN _vantrel_guard_problems "\n  " _vantrel_guard_text)
    if(VANTREL_RELEASE_GUARD_OVERRIDE)
      message(WARNING "Release guard overridden (VANTREL_RELEASE_GUARD_OVERRIDE=${VANTREL_RELEASE_GUARD_OVERRIDE}); "
                      "this release build keeps:\n  ${_vantrel_guard_text}")
    else()
      message(FATAL_ERROR "Release guard: this release configuration would ship test settings:\n"
                          "  ${_vantrel_guard_text}\n"
                          "Fix the -D options, or the build folder's CMakeCache.txt where an old -D lives on; if this is "
                          "deliberate, add -DVANTREL_RELEASE_GUARD_OVERRIDE=<reason>.")
    endif()
  endif()
endif()
