# cmake -DINPUT=code.bin -DOUTPUT=code.h -DNAME=kArray -DLIMIT=440 -P bin2header.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
if(size GREATER LIMIT)
  message(FATAL_ERROR "${INPUT} is ${size} bytes, more than ${LIMIT}")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT} "// Generated from ${INPUT}; do not edit.\n#pragma once\n#include <cstdint>\n"
  "inline constexpr uint8_t ${NAME}[] = {${bytes}};\n")
