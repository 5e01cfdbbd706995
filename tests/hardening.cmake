# Programs for the hardening tests (tests/e2e/test_dll_planting.py): a DLL to
# plant beside the installer under the names of the system libraries it
# delay-loads, a program that loads DLLs by name with and without the
# installer's search restriction, and a control that imports the same DLLs
# the ordinary way.
add_library(planted MODULE ${CMAKE_CURRENT_SOURCE_DIR}/planted/planted_dll.cpp)
set_target_properties(planted PROPERTIES PREFIX "" OUTPUT_NAME planted
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
target_link_libraries(planted PRIVATE kernel32)

add_executable(planted_loader ${CMAKE_CURRENT_SOURCE_DIR}/planted/planted_loader.cpp
                              ${CMAKE_SOURCE_DIR}/app/dll_search.cpp
                              ${CMAKE_SOURCE_DIR}/support/system_api.cpp
                              ${CMAKE_SOURCE_DIR}/support/failure.cpp
                              ${CMAKE_SOURCE_DIR}/support/text_format.cpp)
target_include_directories(planted_loader PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(planted_loader PRIVATE -municode)

add_executable(planted_eager ${CMAKE_CURRENT_SOURCE_DIR}/planted/planted_eager.cpp)
target_link_libraries(planted_eager PRIVATE bcrypt comctl32 crypt32 winhttp wintrust)
target_link_options(planted_eager PRIVATE -municode)

# The release preset built once more, from a copy of the sources at another
# path and under another clock, time zone and umask, must give the same bytes
# as the shipped build folder (brought up to date first).
add_test(NAME reproducible_release
         COMMAND ${CMAKE_SOURCE_DIR}/tools/check-reproducible.sh --against ${VANTREL_SHIPPED_DIR})
set_tests_properties(reproducible_release PROPERTIES TIMEOUT 1200)
