# Run as a script after VantrelSetup.exe is linked: a download-sized program
# stays download-sized. -DEXE=<file> -DLIMIT=<bytes>
file(SIZE "${EXE}" size)
if(size GREATER LIMIT)
  message(FATAL_ERROR "${EXE} is ${size} bytes, over the limit of ${LIMIT}")
endif()
