# The Windows build's veltor.exe, cross-built beside this one; when given, the
# end-to-end suite also runs against it under wine.
set(VELTOR_WINDOWS_RELAY "" CACHE FILEPATH "A cross-built veltor.exe to run the end-to-end tests against")
set(VELTOR_WINEPREFIX "${PROJECT_BINARY_DIR}/wine" CACHE PATH "The wine prefix the Windows tests run in")
if(VELTOR_WINDOWS_RELAY)
  set(VELTOR_WINDOWS_WRAPPER "${PROJECT_BINARY_DIR}/veltor-under-wine")
  file(CONFIGURE OUTPUT ${VELTOR_WINDOWS_WRAPPER} CONTENT
    "#!/bin/sh\nexec '${PROJECT_SOURCE_DIR}/tools/wine-run.sh' '${VELTOR_WINDOWS_RELAY}' \"$@\"\n")
  file(CHMOD ${VELTOR_WINDOWS_WRAPPER} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  # One wineserver for all the programs, started first (and the prefix with
  # it, on a first run) and stopped at the end. The server outlives the test
  # that starts it, so it must not hold the test's output pipes: CTest would
  # wait for their end until the timeout.
  add_test(NAME windows.wine_start COMMAND sh -c
    "wineserver -p </dev/null >/dev/null 2>&1; '${VELTOR_WINDOWS_WRAPPER}' </dev/null >/dev/null 2>&1; exit 0")
  add_test(NAME windows.wine_stop COMMAND sh -c "wineserver -k >/dev/null 2>&1; exit 0")
  set_tests_properties(windows.wine_start PROPERTIES FIXTURES_SETUP wine LABELS windows TIMEOUT 300
    ENVIRONMENT "WINEPREFIX=${VELTOR_WINEPREFIX}")
  set_tests_properties(windows.wine_stop PROPERTIES FIXTURES_CLEANUP wine LABELS windows TIMEOUT 60
    ENVIRONMENT "WINEPREFIX=${VELTOR_WINEPREFIX}")
endif()
