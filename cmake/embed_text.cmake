# Run as `cmake -DINPUT=... -DOUTPUT=... -DNAMESPACE=... -DTEXT=... -DLENGTH=... [-DJSON=ON] -P embed_text.cmake`
# at build time (osprey_embed_text): writes OUTPUT, a C++ source defining
# NAMESPACE::TEXT, the bytes of INPUT without a final line end and with a
# terminating NUL, and NAMESPACE::LENGTH, their count. With JSON, a file that
# does not parse as JSON or holds a byte outside ASCII fails the build, so
# the library never carries a broken document.
foreach(name INPUT OUTPUT NAMESPACE TEXT LENGTH)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "embed_text: ${name} is not set")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "0a$" "" hex "${hex}")
# One byte a pair of hex digits, so a match below starts on a byte.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")

if(JSON)
  file(READ "${INPUT}" text)
  string(JSON kind ERROR_VARIABLE problem TYPE "${text}")
  if(problem)
    message(FATAL_ERROR "${INPUT} is not a JSON document: ${problem}")
  endif()
  if(bytes MATCHES "0x[89a-f]")
    message(FATAL_ERROR "${INPUT} holds bytes outside ASCII")
  endif()
endif()

string(REGEX REPLACE "((0x..,){16})" "\\1\n  " bytes "${bytes}")
file(RELATIVE_PATH source_name "${CMAKE_CURRENT_LIST_DIR}/.." "${INPUT}")
file(WRITE "${OUTPUT}.new"
  "// Made at build time from ${source_name}: edit that file.\n"
  "#include <cstddef>\n\n"
  "namespace ${NAMESPACE} {\n\n"
  "extern const char ${TEXT}[];\n"
  "extern const size_t ${LENGTH};\n"
  "const char ${TEXT}[] = {\n  ${bytes}0x00};\n"
  "const size_t ${LENGTH} = sizeof ${TEXT} - 1;\n\n"
  "}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
