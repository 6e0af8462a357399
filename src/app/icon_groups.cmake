# Writes the program icon as resource script: its one image once, and the
# two icon groups that name it (4, which the shell shows, and 128, the
# program's own). An ICON statement per group would store the image twice.
# Included with ICON (the .ico file) and OUT (the script to write) set.
file(READ "${ICON}" header LIMIT 22 HEX)
string(SUBSTRING "${header}" 0 12 directory)
if(NOT directory STREQUAL "000001000100")
  message(FATAL_ERROR "${ICON}: not an icon file with exactly one image")
endif()
# Reads the little-endian number of `bytes` bytes at `offset` of the header.
function(header_number offset bytes out)
  math(EXPR start "${offset} * 2")
  set(value 0)
  foreach(i RANGE 1 ${bytes})
    math(EXPR at "${start} + (${bytes} - ${i}) * 2")
    string(SUBSTRING "${header}" ${at} 2 byte)
    math(EXPR value "(${value} << 8) + 0x${byte}")
  endforeach()
  set(${out} ${value} PARENT_SCOPE)
endfunction()
header_number(6 1 width)
header_number(7 1 height)
header_number(12 2 bits)
header_number(14 4 size)
header_number(18 4 offset)
file(READ "${ICON}" image OFFSET ${offset} LIMIT ${size} HEX)
string(LENGTH "${image}" digits)
math(EXPR expected "${size} * 2")
if(NOT digits EQUAL expected)
  message(FATAL_ERROR "${ICON}: the image runs past the end of the file")
endif()
if(NOT size GREATER 0 OR NOT size LESS 65536 OR size MATCHES "[13579]$")
  message(FATAL_ERROR "${ICON}: an image of ${size} bytes; the resource script takes an even size below 64 KB")
endif()
# Resource data is written in 16-bit little-endian words.
string(REGEX REPLACE "(..)(..)" "0x\\2\\1," words "${image}")
string(REGEX REPLACE ",$" "" words "${words}")
math(EXPR size_words "${width} + (${height} << 8)")
set(group "0, 1, 1, ${size_words}, 0, 1, ${bits}, ${size}L, IDI_PROGRAM_IMAGE")
file(WRITE "${OUT}" "IDI_PROGRAM_IMAGE 3\nBEGIN\n${words}\nEND\n\n"
     "IDI_SHELL 14\nBEGIN\n${group}\nEND\n\n"
     "IDR_MAINFRAME 14\nBEGIN\n${group}\nEND\n")
