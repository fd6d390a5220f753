# cmake -DIN=<file> -DOUT=<file.gz> -P gzip_file.cmake: compresses one file as
# Debian installs manual pages and changelogs: best compression, and neither
# the name nor a time stamp in the header, so that the result depends on the
# content alone.
find_program(GZIP gzip REQUIRED)
execute_process(COMMAND ${GZIP} -9 -n -c INPUT_FILE ${IN} OUTPUT_FILE ${OUT}.part
                RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${OUT}.part)
  message(FATAL_ERROR "gzip ${IN}: ${failed}")
endif()
file(RENAME ${OUT}.part ${OUT})
