# Wraps a schema file in a C++ function returning its text (run with cmake -P).
# Inputs: IN (the .kxs file), OUT (the .cpp to write), NS (namespace), FN (function name).
file(READ "${IN}" text)
string(FIND "${text}" ")kxs\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} contains the raw string delimiter )kxs\"")
endif()
set(body "// Generated from ${IN}; do not edit.\n#include <string_view>\n\nnamespace ${NS} {\n\nstd::string_view ${FN}()\n{\n    return R\"kxs(${text})kxs\";\n}\n\n} // namespace ${NS}\n")
file(WRITE "${OUT}.tmp" "${body}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
