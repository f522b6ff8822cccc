# Windows-only tests of the cross build: the PE headers of quorvex.dll, and
# hosts in C that load it at run time or link it through its import library.
# Every program runs under wine (CMAKE_CROSSCOMPILING_EMULATOR); all of them
# share one wine server, started by the fixture below.
set(QUORVEX_WIN_DIR ${CMAKE_CURRENT_SOURCE_DIR}/windows)

# unit_tests links the C-interface objects in: no dllimport for it.
target_compile_definitions(unit_tests PRIVATE QUORVEX_STATIC)

add_test(NAME pe_headers COMMAND ${CMAKE_COMMAND}
  -DOBJDUMP=${CMAKE_OBJDUMP}
  -DDLL=$<TARGET_FILE:quorvex>
  -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/c_api/expected_exports.txt
  -P ${QUORVEX_WIN_DIR}/check_pe.cmake)

add_test(NAME pe_headers_ext COMMAND ${CMAKE_COMMAND}
  -DOBJDUMP=${CMAKE_OBJDUMP}
  -DDLL=$<TARGET_FILE:quorvex_ext>
  -DNAME=quorvex_ext.dll
  -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/c_api_ext/expected_exports.txt
  -P ${QUORVEX_WIN_DIR}/check_pe.cmake)

# Loads quorvex.dll with LoadLibraryW, resolves every export by name and
# calls it from host threads made with CreateThread.
add_executable(host_dynamic ${QUORVEX_WIN_DIR}/host_dynamic.c)
add_dependencies(host_dynamic quorvex)
add_test(NAME host_dynamic COMMAND host_dynamic)

# Linked through the import library, as a Windows program usually is.
add_executable(host_linked ${QUORVEX_WIN_DIR}/host_linked.c)
target_link_libraries(host_linked PRIVATE quorvex)
add_test(NAME host_linked COMMAND host_linked)

if(QUORVEX_WINE64)
  set(wine_env "WINEPREFIX=${QUORVEX_WINEPREFIX}" "WINEDEBUG=-all"
               "WINE64=${QUORVEX_WINE64}" "WINESERVER=${QUORVEX_WINESERVER}")
  add_test(NAME wine_start COMMAND sh ${QUORVEX_WIN_DIR}/wine_start.sh)
  add_test(NAME wine_stop COMMAND sh ${QUORVEX_WIN_DIR}/wine_stop.sh)
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${wine_env}"
                                             TIMEOUT 120)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${wine_env}")

  # Every test here that runs a Windows program needs the server.
  get_property(all_tests DIRECTORY PROPERTY TESTS)
  list(REMOVE_ITEM all_tests wine_start wine_stop pe_headers pe_headers_ext)
  set_tests_properties(${all_tests} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)
endif()
