# Reads the PE headers of DLL with OBJDUMP (-p) and fails unless
#  - the export directory records the file name NAME (quorvex.dll by default),
#  - the exported names are exactly those listed in EXPECTED,
#  - no mingw runtime DLL is imported (everything must be linked statically,
#    so that hosts need nothing beside the DLL).
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE out ERROR_VARIABLE err
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed: ${err}")
endif()

set(problems "")
if(NOT NAME)
  set(NAME quorvex.dll)
endif()

if(out MATCHES "\nName[ \t]+[0-9a-fA-F]+ ([^\n]*)")
  set(name "${CMAKE_MATCH_1}")
  if(NOT name STREQUAL NAME)
    string(APPEND problems "export directory name is '${name}', not '${NAME}'\n")
  endif()
else()
  string(APPEND problems "no export directory\n")
endif()

set(actual "")
if(out MATCHES "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[ *[0-9]+\\] [^\n]*\n)*)")
  string(REPLACE "\n" ";" lines "${CMAKE_MATCH_1}")
  foreach(line IN LISTS lines)
    if(line MATCHES "\\[ *[0-9]+\\] (.+)$")
      list(APPEND actual "${CMAKE_MATCH_1}")
    endif()
  endforeach()
endif()
list(SORT actual)
file(STRINGS ${EXPECTED} expected)
list(SORT expected)
if(NOT actual STREQUAL expected)
  string(APPEND problems "exported names differ\n expected: ${expected}\n actual:   ${actual}\n")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${out}")
list(TRANSFORM imports REPLACE "DLL Name: " "")
foreach(dll IN LISTS imports)
  string(TOLOWER "${dll}" lower)
  if(lower MATCHES "^(libstdc\\+\\+|libgcc|libwinpthread|libgomp|libssp|libatomic|libquadmath)")
    string(APPEND problems "imports the mingw runtime DLL ${dll}\n")
  endif()
endforeach()

if(problems)
  message(FATAL_ERROR "${DLL}:\n${problems}imports: ${imports}")
endif()
message(STATUS "exports: ${actual}\nimports: ${imports}")
