# zopfli's encoder, for compression level 11 of the release tools (never for
# the installer programs, which only inflate). It defines the target
# pi_zopfli when zopfli is to be had:
#
# - from zopfli's own sources, in any build (the mingw ones too), when
#   PI_ZOPFLI_SOURCE_DIR names a zopfli source tree (the directory that holds
#   src/zopfli/deflate.c); they are compiled into a static library here;
# - otherwise, on Linux, from Debian's libzopfli-dev (scripts/setup.sh
#   installs it).
#
# Debian ships no zopfli for mingw: without the sources, a Windows build has
# no level 11, and the tools say so when it is asked for. PI_WITH_ZOPFLI=OFF
# leaves it out everywhere.
option(PI_WITH_ZOPFLI "Offer compression level 11 (zopfli) in the release tools" ON)
set(PI_ZOPFLI_SOURCE_DIR "" CACHE PATH
    "A zopfli source tree (holding src/zopfli) to compile for level 11")

if(NOT PI_WITH_ZOPFLI)
  message(STATUS "zopfli: left out (PI_WITH_ZOPFLI=OFF); no compression level 11")
  return()
endif()

if(PI_ZOPFLI_SOURCE_DIR)
  set(zopfli_dir ${PI_ZOPFLI_SOURCE_DIR}/src/zopfli)
  set(zopfli_sources blocksplitter.c cache.c deflate.c hash.c katajainen.c lz77.c squeeze.c
                     tree.c util.c)
  list(TRANSFORM zopfli_sources PREPEND ${zopfli_dir}/)
  foreach(file ${zopfli_sources})
    if(NOT EXISTS ${file})
      message(FATAL_ERROR "PI_ZOPFLI_SOURCE_DIR: no ${file}")
    endif()
  endforeach()
  add_library(pi_zopfli STATIC ${zopfli_sources})
  # Included as <zopfli/deflate.h>; the upstream sources are not ours to hold
  # to -Werror.
  target_include_directories(pi_zopfli SYSTEM PUBLIC ${PI_ZOPFLI_SOURCE_DIR}/src)
  target_compile_options(pi_zopfli PRIVATE -w)
  message(STATUS "zopfli: compiled from ${PI_ZOPFLI_SOURCE_DIR}")
elseif(NOT CMAKE_CROSSCOMPILING)
  find_path(PI_ZOPFLI_INCLUDE_DIR zopfli/deflate.h)
  find_library(PI_ZOPFLI_LIBRARY zopfli)
  if(PI_ZOPFLI_INCLUDE_DIR AND PI_ZOPFLI_LIBRARY)
    add_library(pi_zopfli INTERFACE)
    target_include_directories(pi_zopfli SYSTEM INTERFACE ${PI_ZOPFLI_INCLUDE_DIR})
    target_link_libraries(pi_zopfli INTERFACE ${PI_ZOPFLI_LIBRARY})
    message(STATUS "zopfli: ${PI_ZOPFLI_LIBRARY}")
  endif()
endif()

if(NOT TARGET pi_zopfli AND CMAKE_CROSSCOMPILING)
  message(STATUS "zopfli: no PI_ZOPFLI_SOURCE_DIR for this target; no compression level 11")
elseif(NOT TARGET pi_zopfli)
  message(STATUS "zopfli: not found (libzopfli-dev, or PI_ZOPFLI_SOURCE_DIR); no compression "
                 "level 11")
endif()
