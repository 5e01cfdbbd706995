# Runs tools/check_imports.py after every link of every program and DLL this
# build makes, both widths: a call through an import slot that nothing fills
# fails the build instead of jumping to address 0 at run time. The linker's
# map file names the slots, which the stripped image no longer does.
function(vantrel_check_imports target)
  set(extra "")
  if(target STREQUAL "VantrelSetup")
    set(extra --known-dlls-only)
    # 320 KiB; tools/check_resources.py states the same limit for the tests.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:${target}> -DLIMIT=327680
              -P ${CMAKE_SOURCE_DIR}/cmake/size_check.cmake
      VERBATIM)
  endif()
  target_link_options(${target} PRIVATE "-Wl,-Map=$<TARGET_FILE:${target}>.map")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tools/check_imports.py
            $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.map --objdump=${CMAKE_OBJDUMP} ${extra}
    VERBATIM)
endfunction()

# Called at the end of each CMakeLists.txt that adds programs: a POST_BUILD
# step has to be added in the directory that made the target.
function(vantrel_check_imports_in_this_directory)
  get_property(targets DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|MODULE_LIBRARY|SHARED_LIBRARY)$")
      vantrel_check_imports(${target})
    endif()
  endforeach()
endfunction()
