# cmake -P script: renders a manual page from scdoc source and compresses it
# as Debian ships manual pages (gzip -9n: no name or time stamp inside).
#   -DSCDOC=<scdoc> -DGZIP=<gzip> -DSOURCE=<page.scd> -DOUTPUT=<page>
# Leaves <page> and <page>.gz.
execute_process(COMMAND ${SCDOC} INPUT_FILE "${SOURCE}" OUTPUT_FILE "${OUTPUT}.tmp"
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  file(REMOVE "${OUTPUT}.tmp")
  message(FATAL_ERROR "scdoc failed on ${SOURCE}: ${err}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
execute_process(COMMAND ${GZIP} -9n --stdout "${OUTPUT}" OUTPUT_FILE "${OUTPUT}.gz"
                COMMAND_ERROR_IS_FATAL ANY)
