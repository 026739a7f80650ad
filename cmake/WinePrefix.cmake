# Makes the Wine prefix PREFIX once, and starts its wine server for the whole test run.
#
# A wine server ends a few seconds after its last client; a program that starts in that moment
# fails with "recvmsg: Connection reset by peer". One persistent server, stopped by the cleanup
# test (ACTION=stop), leaves no such moment between tests.
get_filename_component(_wine_dir ${WINE} DIRECTORY)
find_program(_wineserver NAMES wineserver64 wineserver PATHS ${_wine_dir} /usr/lib/wine /usr/bin
             NO_DEFAULT_PATH)
if(ACTION STREQUAL "stop")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} ${_wineserver} -k
                  OUTPUT_QUIET ERROR_QUIET)
  return()
endif()

if(NOT EXISTS ${PREFIX}/system.reg)
  file(MAKE_DIRECTORY ${PREFIX})
  find_program(_wineboot NAMES wineboot PATHS ${_wine_dir} /usr/lib/wine /usr/bin)
  # Its output pipes close only when the server that made the prefix has ended and saved it.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} WINEDEBUG=-all
                          ${WINE} wineboot -i
                  RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT EXISTS ${PREFIX}/system.reg)
    message(FATAL_ERROR "could not make the Wine prefix ${PREFIX} (${_rc})")
  endif()
endif()

# The server, and the system processes that Wine starts with the first program, live as long
# as the run. A server left by the prefix's making, or by an earlier run, would end a few
# seconds after its last client: it is ended first, and one that stays is started. All of them
# have their output in files, so that none holds the output pipe of a test, which CTest would
# wait on to its end.
execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} ${_wineserver} -k
                OUTPUT_QUIET ERROR_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} ${_wineserver} -w
                OUTPUT_QUIET ERROR_QUIET TIMEOUT 30)
execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} ${_wineserver} -p
                OUTPUT_FILE ${PREFIX}/wineserver.out ERROR_FILE ${PREFIX}/wineserver.err)
execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} WINEDEBUG=-all
                        ${WINE} cmd /c exit
                INPUT_FILE /dev/null OUTPUT_FILE ${PREFIX}/wineboot.out
                ERROR_FILE ${PREFIX}/wineboot.err)
