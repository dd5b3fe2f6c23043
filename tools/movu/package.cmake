# Builds the Windows release zip: run with cmake -P and these variables:
#   SOURCE_DIR  the source tree (MQL5/, docs/, README.md, include/)
#   LIBRARY     movu_mt5.dll      HOST  movu.exe
#   DEVSERVER   movu-devserver.exe (sample_calendar.json goes beside it)
#   VERSION     project version   OUT_DIR  where the zip goes
#   STAGE_DIR   a scratch folder of the build
foreach(var SOURCE_DIR LIBRARY HOST DEVSERVER VERSION OUT_DIR STAGE_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "package.cmake: ${var} not set")
  endif()
endforeach()

set(name movu_mt5-${VERSION}-win-x64)
set(missing "")
foreach(item MQL5 docs README.md include/movu_mt5.h)
  if(NOT EXISTS ${SOURCE_DIR}/${item})
    list(APPEND missing ${item})
  endif()
endforeach()
foreach(file ${LIBRARY} ${HOST} ${DEVSERVER})
  if(NOT EXISTS ${file})
    list(APPEND missing ${file})
  endif()
endforeach()
if(missing)
  list(JOIN missing ", " missing_text)
  message(FATAL_ERROR "release package ${name}.zip: missing ${missing_text} "
                      "(the zip needs MQL5/, docs/ and README.md of the source tree)")
endif()

set(root ${STAGE_DIR}/${name})
file(REMOVE_RECURSE ${STAGE_DIR})
file(MAKE_DIRECTORY ${root}/include)
file(COPY ${LIBRARY} ${HOST} ${DEVSERVER} ${SOURCE_DIR}/tools/devserver/sample_calendar.json ${SOURCE_DIR}/README.md
     DESTINATION ${root})
file(COPY ${SOURCE_DIR}/include/movu_mt5.h DESTINATION ${root}/include)
file(COPY ${SOURCE_DIR}/MQL5 ${SOURCE_DIR}/docs DESTINATION ${root})

# Written beside the target and renamed, so a failed run never leaves half a zip.
file(MAKE_DIRECTORY ${OUT_DIR})
set(partial ${OUT_DIR}/.${name}.zip.partial)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${partial} --format=zip ${name}
                WORKING_DIRECTORY ${STAGE_DIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE ${partial})
  message(FATAL_ERROR "release package: zip failed (${rc})")
endif()
file(RENAME ${partial} ${OUT_DIR}/${name}.zip)
message(STATUS "release package: ${OUT_DIR}/${name}.zip")
