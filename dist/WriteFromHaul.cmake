# cmake -DHAUL=PROGRAM -DOPTION=--print-... -DVALUE=... -DOUT=FILE -P WriteFromHaul.cmake: OUT gets
# what haul prints, and only when haul succeeds, so a failed run leaves no half-written file for
# the next build to take as done.
# The build's haul may carry AddressSanitizer: a leak at exit must not fail the build.
set(ENV{ASAN_OPTIONS} detect_leaks=0)
execute_process(COMMAND ${HAUL} ${OPTION} ${VALUE} OUTPUT_VARIABLE text ERROR_VARIABLE problem RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${HAUL} ${OPTION} ${VALUE} failed (${status}): ${problem}")
endif()
file(WRITE ${OUT} "${text}")
