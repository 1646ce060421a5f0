# The Wine prefix shared by the tests of btsetter.exe (test_e2e_wine).
#   cmake -DACTION=boot|stop -DPREFIX=<dir> -DWINE64=<wine64> -DWINESERVER=<wineserver>
#         -P wine_prefix.cmake
# boot: a fresh prefix, with a wineserver that stays up for 120 s after its
#       last client, so the tests' runs find it running;
# stop: ends that server, and with it Wine's own processes, and removes the
#       prefix.
# Wine's processes write to a log file beside the prefix, never to this
# script's output: the server outlives the script, and CTest would wait for
# the end of a pipe it holds.
foreach(variable ACTION PREFIX WINE64 WINESERVER)
  if(NOT ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(ENV{WINEPREFIX} "${PREFIX}")
set(ENV{WINEDEBUG} "-all")
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")
set(ENV{DISPLAY} "")
set(log "${PREFIX}.log")

function(wine)
  execute_process(COMMAND ${ARGN} INPUT_FILE /dev/null OUTPUT_FILE "${log}.part"
                  ERROR_FILE "${log}.part" RESULT_VARIABLE result TIMEOUT 240)
  file(READ "${log}.part" text)
  file(APPEND "${log}" "$ ${ARGN}\n${text}")
  file(REMOVE "${log}.part")
  set(result "${result}" PARENT_SCOPE)
endfunction()

function(stop_server)
  if(IS_DIRECTORY "${PREFIX}")
    wine(${WINESERVER} -k)
    wine(${WINESERVER} -w)
  endif()
endfunction()

if(ACTION STREQUAL "boot")
  stop_server()
  file(REMOVE_RECURSE "${PREFIX}")
  file(REMOVE "${log}")
  file(MAKE_DIRECTORY "${PREFIX}")
  wine(${WINESERVER} -p120)
  if(NOT result EQUAL 0)
    file(READ "${log}" text)
    message(FATAL_ERROR "wineserver -p120 failed (${result}):\n${text}")
  endif()
  wine(${WINE64} wineboot -i)
  if(NOT result EQUAL 0 OR NOT IS_DIRECTORY "${PREFIX}/dosdevices")
    file(READ "${log}" text)
    message(FATAL_ERROR "wineboot -i failed (${result}):\n${text}")
  endif()
  message(STATUS "Wine prefix ready: ${PREFIX}")
elseif(ACTION STREQUAL "stop")
  stop_server()
  file(REMOVE_RECURSE "${PREFIX}")
  message(STATUS "Wine prefix removed: ${PREFIX}")
else()
  message(FATAL_ERROR "ACTION must be boot or stop, not ${ACTION}")
endif()
