# cmake -DIN=<file> -DOUT=<file.gz> -P gzip_file.cmake: compresses one file,
# as manual pages are installed.
file(ARCHIVE_CREATE OUTPUT ${OUT} PATHS ${IN} FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9)
