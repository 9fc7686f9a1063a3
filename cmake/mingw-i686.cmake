# Cross build for 32-bit Windows with mingw-w64. scripts/deps.sh installs the
# compiler; without it the configure step stops here with a clear message rather
# than falling back to the host compiler and producing a Linux binary.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELMORA_TRIPLET i686-w64-mingw32)

# The win32 thread model needs no winpthread DLL, so prefer it over -posix.
foreach(tool gcc g++ windres)
  find_program(VELMORA_${tool} NAMES ${VELMORA_TRIPLET}-${tool}-win32 ${VELMORA_TRIPLET}-${tool})
  if(NOT VELMORA_${tool})
    message(FATAL_ERROR
      "The 32-bit Windows cross tool '${VELMORA_TRIPLET}-${tool}' was not found. "
      "Install it with: sudo scripts/deps.sh  (Debian package g++-mingw-w64-i686)")
  endif()
endforeach()

set(CMAKE_C_COMPILER ${VELMORA_gcc})
set(CMAKE_CXX_COMPILER ${VELMORA_g++})
set(CMAKE_RC_COMPILER ${VELMORA_windres})

set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
