# Delay-loaded imports for VantrelSetup.exe.
#
# Windows loads an exe's ordinary imports before any of its code runs, looking
# first in the exe's own folder -- usually Downloads, where a DLL named like a
# system library can be waiting. Only Windows' KnownDLLs are exempt. So every
# other DLL is imported through a delay-import library: it is loaded on first
# use, after the entry point has limited the search to the system folder
# (app/dll_search.cpp).
#
# The delay-import libraries are built here with the toolchain's dlltool from
# the function lists below. A function missing from its list would silently
# fall back to an ordinary import; the check after linking turns that into a
# build error.
#
# Run as a script (cmake -P) this file is that check.

# KnownDLLs of Windows 7 SP1 (HKLM\System\CurrentControlSet\Control\Session
# Manager\KnownDLLs): always mapped from the system folder, safe to import.
set(VANTREL_KNOWN_DLLS
  advapi32 clbcatq comdlg32 difxapi gdi32 iertutil imagehlp imm32 kernel32 lpk msctf
  msvcrt normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shell32 shlwapi
  urlmon user32 usp10 wininet wldap32 ws2_32)

# ---------------------------------------------------------------------------
# The check: objdump's view of the linked exe.
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.25)
  execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "objdump -p ${EXE} failed")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" names "${dump}")
  set(unsafe "")
  foreach(entry IN LISTS names)
    string(REGEX REPLACE "^DLL Name: ([^ \t]+).*" "\\1" dll "${entry}")
    string(TOLOWER "${dll}" dll)
    string(REGEX REPLACE "\\.dll$" "" base "${dll}")
    if(NOT base IN_LIST VANTREL_KNOWN_DLLS)
      list(APPEND unsafe "${dll}")
    endif()
  endforeach()
  if(unsafe)
    message(FATAL_ERROR "${EXE} imports ${unsafe} directly, so a copy beside the exe would be "
                        "loaded before the DLL search is restricted. Add the functions it uses "
                        "to the lists in cmake/delay_imports.cmake.")
  endif()
  # GNU ld leaves the delay-import data directory empty; the descriptors
  # (with the DLL names the helper loads) are in the image all the same.
  file(STRINGS "${EXE}" delayed REGEX "^[a-z0-9]+\\.dll$")
  foreach(dll IN LISTS DELAYED)
    if(NOT "${dll}.dll" IN_LIST delayed)
      message(FATAL_ERROR "${EXE} does not name ${dll}.dll among its delay-loaded DLLs")
    endif()
  endforeach()
  return()
endif()

# ---------------------------------------------------------------------------
# The lists: one per DLL, the functions this program calls, with the i686
# stdcall decoration (argument bytes). x86_64 has no decoration.
set(VANTREL_DELAY_DLLS bcrypt comctl32 crypt32 winhttp wintrust)
set(VANTREL_DELAY_bcrypt
  BCryptCloseAlgorithmProvider@8 BCryptCreateHash@28 BCryptDestroyHash@4 BCryptFinishHash@16
  BCryptGenRandom@16 BCryptHashData@16 BCryptOpenAlgorithmProvider@16)
set(VANTREL_DELAY_comctl32
  InitCommonControlsEx@4)
set(VANTREL_DELAY_crypt32
  CertAddCertificateContextToStore@16 CertCloseStore@8 CertCreateCertificateContext@12
  CertEnumCertificatesInStore@8 CertFindCertificateInStore@24 CertFreeCertificateContext@4
  CertOpenStore@20 CertVerifyTimeValidity@8 CryptHashCertificate2@28)
set(VANTREL_DELAY_winhttp
  WinHttpCloseHandle@4 WinHttpConnect@16 WinHttpOpen@20 WinHttpOpenRequest@28
  WinHttpQueryDataAvailable@8 WinHttpQueryHeaders@24 WinHttpReadData@16
  WinHttpReceiveResponse@8 WinHttpSendRequest@28 WinHttpSetOption@16 WinHttpSetTimeouts@20)
set(VANTREL_DELAY_wintrust
  WinVerifyTrust@12)

if(NOT CMAKE_DLLTOOL)
  string(REGEX REPLACE "g\\+\\+(-posix|-win32)?$" "dlltool" _dlltool_guess "${CMAKE_CXX_COMPILER}")
  find_program(CMAKE_DLLTOOL NAMES "${_dlltool_guess}" REQUIRED)
endif()
if(NOT CMAKE_OBJDUMP)
  message(FATAL_ERROR "delay imports: the toolchain's objdump was not found")
endif()

set(_delay_dir ${CMAKE_BINARY_DIR}/delay-imports)
set(VANTREL_DELAY_IMPORT_LIBS "")
foreach(dll IN LISTS VANTREL_DELAY_DLLS)
  set(exports "")
  foreach(symbol IN LISTS VANTREL_DELAY_${dll})
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      string(REGEX REPLACE "@[0-9]+$" "" symbol "${symbol}")
    endif()
    string(APPEND exports "  ${symbol}\n")
  endforeach()
  # Rewritten only when the content changes, so nothing relinks needlessly.
  file(CONFIGURE OUTPUT ${_delay_dir}/${dll}.def
       CONTENT "LIBRARY ${dll}.dll\nEXPORTS\n${exports}" @ONLY)

  set(kill_at "")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Decorated symbols for the linker, undecorated names in the import table.
    set(kill_at -k)
  endif()
  set(lib ${_delay_dir}/libdelay_${dll}.a)
  # Relative paths and a fixed temporary prefix: dlltool's output depends on
  # neither the build folder nor its process id.
  add_custom_command(
    OUTPUT ${lib}
    COMMAND ${CMAKE_COMMAND} -E remove -f libdelay_${dll}.a
    COMMAND ${CMAKE_DLLTOOL} ${kill_at} --input-def ${dll}.def --dllname ${dll}.dll
            --temp-prefix delay_${dll} --output-delaylib libdelay_${dll}.a
    DEPENDS ${_delay_dir}/${dll}.def
    WORKING_DIRECTORY ${_delay_dir}
    COMMENT "Building the delay-import library for ${dll}.dll"
    VERBATIM)
  list(APPEND VANTREL_DELAY_IMPORT_LIBS ${lib})
endforeach()
add_custom_target(vantrel_delay_imports DEPENDS ${VANTREL_DELAY_IMPORT_LIBS})

# Listed directly on the exe, these come before vantrel_core's ordinary
# system libraries on the link line, so the linker takes these symbols from
# them first.
add_dependencies(VantrelSetup vantrel_delay_imports)
target_link_libraries(VantrelSetup PRIVATE ${VANTREL_DELAY_IMPORT_LIBS})
add_custom_command(TARGET VantrelSetup POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:VantrelSetup> -DOBJDUMP=${CMAKE_OBJDUMP}
          "-DDELAYED=${VANTREL_DELAY_DLLS}"
          -P ${CMAKE_CURRENT_LIST_FILE}
  VERBATIM)
