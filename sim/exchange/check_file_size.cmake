# cmake -DFILE=<path> -DSIZE=<bytes> -P check_file_size.cmake: fails unless FILE has SIZE bytes.
file(SIZE "${FILE}" _actual)
if(NOT _actual EQUAL SIZE)
  file(REMOVE "${FILE}")
  message(FATAL_ERROR "${FILE} has ${_actual} bytes, expected ${SIZE}")
endif()
