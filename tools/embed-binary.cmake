# Writes a C++ source file that holds the bytes of a binary file as a constant
# array, so that a program can carry another build product (the control panel
# carries the driver image it writes out at start-up).
#
#   cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DARRAY=<name> -DSIZE_NAME=<name>
#         [-DHEADER=<header to include>] -P tools/embed-binary.cmake
#
# The generated file defines
#   const unsigned char <ARRAY>[<n>] = { ... };
#   const unsigned long <SIZE_NAME> = <n>;
# both with external linkage, and includes HEADER first when given, so that the
# declarations there are checked against the definitions.
foreach(var INPUT OUTPUT ARRAY SIZE_NAME)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed-binary: ${var} is not set")
  endif()
endforeach()

file(SIZE "${INPUT}" size)
if(size EQUAL 0)
  message(FATAL_ERROR "embed-binary: ${INPUT} is empty")
endif()
file(READ "${INPUT}" hex HEX)

# Sixteen bytes (32 hex digits) per line: "0x4d, 0x5a, ...".
string(LENGTH "${hex}" hex_length)
set(bytes "")
set(offset 0)
while(offset LESS hex_length)
  string(SUBSTRING "${hex}" ${offset} 32 chunk)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " chunk "${chunk}")
  string(APPEND bytes "    ${chunk}\n")
  math(EXPR offset "${offset} + 32")
endwhile()
string(REPLACE ", \n" ",\n" bytes "${bytes}")
string(REGEX REPLACE ",\n$" "\n" bytes "${bytes}")

get_filename_component(input_name "${INPUT}" NAME)
set(text "// Generated at build time from ${input_name} by tools/embed-binary.cmake.\n")
if(DEFINED HEADER AND NOT HEADER STREQUAL "")
  string(APPEND text "#include \"${HEADER}\"\n")
endif()
string(APPEND text "\nextern const unsigned char ${ARRAY}[${size}];\n")
string(APPEND text "extern const unsigned long ${SIZE_NAME};\n\n")
string(APPEND text "const unsigned char ${ARRAY}[${size}] = {\n${bytes}};\n\n")
string(APPEND text "const unsigned long ${SIZE_NAME} = ${size};\n")

# Rewrite only on change, so that an unchanged image does not relink.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${text}")
