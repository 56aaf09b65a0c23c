# Fails when FILE is larger than LIMIT bytes.
file(SIZE ${FILE} size)
message(STATUS "${FILE}: ${size} bytes (limit ${LIMIT})")
if(size GREATER LIMIT)
  message(FATAL_ERROR "over the size budget by ${size} - ${LIMIT} bytes")
endif()
