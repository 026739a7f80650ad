# Makes the Wine prefix PREFIX once; later runs find it ready and return at once.
if(EXISTS ${PREFIX}/system.reg)
  return()
endif()
file(MAKE_DIRECTORY ${PREFIX})
get_filename_component(_wine_dir ${WINE} DIRECTORY)
find_program(_wineboot NAMES wineboot PATHS ${_wine_dir} /usr/lib/wine /usr/bin)
execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} WINEDEBUG=-all
                        ${WINE} wineboot -i
                RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
if(NOT EXISTS ${PREFIX}/system.reg)
  message(FATAL_ERROR "could not make the Wine prefix ${PREFIX} (${_rc})")
endif()
