# Builds the Windows release zip; run with cmake -P and these variables:
#   SOURCE_DIR   the source tree (MQL5/, docs/, package/, CHANGELOG.md, LICENSE, include/)
#   LIBRARY      movu_mt5.dll   HOST  movu.exe   DEVSERVER  movu-devserver.exe or empty
#   OBJCOPY      the objcopy of the toolchain
#   VERSION      project version
#   ZIP          the package      SYMBOLS_ZIP  the debug symbols beside it
#   STAGE_DIR    a scratch folder of the build
#
# The zip mirrors the terminal's data folder, so unzipping it there installs
# everything: MQL5\Libraries\movu_mt5.dll, MQL5\Include\..., MQL5\Scripts\...,
# MQL5\Experts\..., MQL5\Indicators\...; beside them the tools, the user's
# README.txt, CHANGELOG.md, docs, the licences (ours and those of the
# libraries linked into the binaries) and SHA256SUMS. Binaries are stripped; their debug information goes
# into <name>.debug files in the symbols zip, linked by .gnu_debuglink.
foreach(var SOURCE_DIR LIBRARY HOST OBJCOPY VERSION ZIP SYMBOLS_ZIP STAGE_DIR)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "package.cmake: ${var} not set")
  endif()
endforeach()

set(missing "")
foreach(item MQL5/Include MQL5/Scripts MQL5/Experts MQL5/Indicators docs package/README.txt package/licenses
             CHANGELOG.md LICENSE include/movu_mt5.h)
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
  message(FATAL_ERROR "release package: missing ${missing_text}")
endif()

set(root ${STAGE_DIR}/root)
set(symbols ${STAGE_DIR}/symbols)
file(REMOVE_RECURSE ${STAGE_DIR})
file(MAKE_DIRECTORY ${root}/MQL5/Libraries ${root}/include ${symbols})
foreach(folder Include Scripts Experts Indicators)
  file(COPY ${SOURCE_DIR}/MQL5/${folder} DESTINATION ${root}/MQL5)
endforeach()
file(COPY ${SOURCE_DIR}/docs DESTINATION ${root})
file(COPY ${SOURCE_DIR}/package/README.txt ${SOURCE_DIR}/CHANGELOG.md ${SOURCE_DIR}/LICENSE DESTINATION ${root})
file(COPY ${SOURCE_DIR}/package/licenses DESTINATION ${root})
file(COPY ${SOURCE_DIR}/include/movu_mt5.h DESTINATION ${root}/include)

# Stripped copy in the package, debug information beside it.
function(ship binary destination)
  get_filename_component(name ${binary} NAME)
  set(debug ${symbols}/${name}.debug)
  execute_process(COMMAND ${OBJCOPY} --only-keep-debug ${binary} ${debug} RESULT_VARIABLE rc1)
  execute_process(COMMAND ${OBJCOPY} --strip-all --add-gnu-debuglink=${debug} ${binary} ${destination}/${name}
                  RESULT_VARIABLE rc2)
  if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
    message(FATAL_ERROR "release package: cannot strip ${name} (${rc1}, ${rc2})")
  endif()
endfunction()
ship(${LIBRARY} ${root}/MQL5/Libraries)
ship(${HOST} ${root})
if(DEVSERVER)
  ship(${DEVSERVER} ${root})
  # The sample data it serves, beside it for the user to edit and reload.
  file(COPY ${SOURCE_DIR}/tools/devserver/sample_calendar.json DESTINATION ${root})
endif()

# SHA256SUMS in the format of sha256sum, paths with forward slashes.
file(GLOB_RECURSE files RELATIVE ${root} ${root}/*)
list(SORT files)
set(sums "")
foreach(f IN LISTS files)
  file(SHA256 ${root}/${f} hash)
  string(APPEND sums "${hash}  ${f}\n")
endforeach()
file(WRITE ${root}/SHA256SUMS "${sums}")

# Written beside the target and renamed, so a failed run never leaves half a zip.
function(pack folder out)
  get_filename_component(dir ${out} DIRECTORY)
  get_filename_component(name ${out} NAME)
  file(MAKE_DIRECTORY ${dir})
  set(partial ${dir}/.${name}.partial)
  file(GLOB entries RELATIVE ${folder} ${folder}/*)
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${partial} --format=zip ${entries}
                  WORKING_DIRECTORY ${folder} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    file(REMOVE ${partial})
    message(FATAL_ERROR "release package: zip failed (${rc})")
  endif()
  file(RENAME ${partial} ${out})
  message(STATUS "release package: ${out}")
endfunction()
pack(${root} ${ZIP})
pack(${symbols} ${SYMBOLS_ZIP})
