# Runs a test program of the built-in library with the stand-in vendor library on the loader's
# search path: the library answers every call itself, so its tests pass and the stand-in never
# logs a call. Arguments: -DPROGRAM=<test binary> -DSTANDIN_DIR=<dir of libvisa.so.0> -DLOG=<file>
file(REMOVE ${LOG})
set(ENV{LD_LIBRARY_PATH} ${STANDIN_DIR})
set(ENV{STANDIN_VISA_LOG} ${LOG})
execute_process(COMMAND ${PROGRAM} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed with the stand-in on the search path (${result}):\n${output}")
endif()
if(EXISTS ${LOG})
  file(READ ${LOG} calls)
  message(FATAL_ERROR "the stand-in vendor library received calls:\n${calls}")
endif()
