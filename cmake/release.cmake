# Windows: a version resource on every binary of the package, and the zip
# (made only by a release build: the release-windows preset; the Windows test
# build checks and installs that very zip). Included last, so every target the
# package may hold is known.
if(NOT WIN32)
  return()
endif()
enable_language(RC)

# The version as the four numbers of a version resource (1.10 -> 1,10,0,0).
string(REPLACE "." ";" MOVU_RC_NUMBERS "${PROJECT_VERSION}")
list(APPEND MOVU_RC_NUMBERS 0 0 0)
list(SUBLIST MOVU_RC_NUMBERS 0 4 MOVU_RC_NUMBERS)
list(JOIN MOVU_RC_NUMBERS "," MOVU_RC_NUMBERS)

set(MOVU_PACKAGED movu_mt5 movu)
set(movu_mt5_description "movu_mt5: economic calendar and client service for MetaTrader 5")
set(movu_description "movu: command-line host of movu_mt5.dll")
set(movu-devserver_description "movu-devserver: local stand-in for the movu service")
if(TARGET movu-devserver)
  list(APPEND MOVU_PACKAGED movu-devserver)
endif()
foreach(target IN LISTS MOVU_PACKAGED)
  get_target_property(type ${target} TYPE)
  set(MOVU_RC_NAME ${target})
  set(MOVU_RC_DESCRIPTION "${${target}_description}")
  if(type STREQUAL "SHARED_LIBRARY")
    set(MOVU_RC_TYPE VFT_DLL)
    set(MOVU_RC_FILE ${target}.dll)
  else()
    set(MOVU_RC_TYPE VFT_APP)
    set(MOVU_RC_FILE ${target}.exe)
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_BINARY_DIR}/version/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/version/${target}.rc)
endforeach()

if(NOT MOVU_DIST_DIR)
  return()
endif()
set(MOVU_PACKAGE_ZIP ${CMAKE_SOURCE_DIR}/dist/movu_mt5-${PROJECT_VERSION}-win-x64.zip)
set(MOVU_SYMBOLS_ZIP ${CMAKE_SOURCE_DIR}/dist/movu_mt5-${PROJECT_VERSION}-win-x64-symbols.zip)
set(devserver "")
set(devserver_flag "")
if(TARGET movu-devserver)
  set(devserver $<TARGET_FILE:movu-devserver>)
  set(devserver_flag --devserver)
endif()
add_custom_target(movu_package ALL
  COMMAND ${CMAKE_COMMAND}
          -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
          -DLIBRARY=$<TARGET_FILE:movu_mt5>
          -DHOST=$<TARGET_FILE:movu>
          -DDEVSERVER=${devserver}
          -DOBJCOPY=${CMAKE_OBJCOPY}
          -DVERSION=${PROJECT_VERSION}
          -DZIP=${MOVU_PACKAGE_ZIP}
          -DSYMBOLS_ZIP=${MOVU_SYMBOLS_ZIP}
          -DSTAGE_DIR=${CMAKE_BINARY_DIR}/package
          -P ${CMAKE_SOURCE_DIR}/tools/movu/package.cmake
  COMMENT "Packing dist/movu_mt5-${PROJECT_VERSION}-win-x64.zip"
  VERBATIM)
add_dependencies(movu_package ${MOVU_PACKAGED})

