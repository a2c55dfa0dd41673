# Writes a header with one constant per component and alternative name of schema files, so
# that code names a message's fields by symbols the compiler checks (run with cmake -P).
# Inputs: IN (the .kxs files, separated by "|"), OUT (the header to write), NS (namespace).
# "h323-uu-pdu" becomes h323_uu_pdu; a name that is a C++ keyword gets a trailing "_".
cmake_policy(SET CMP0057 NEW)
string(REPLACE "|" ";" files "${IN}")
set(names "")
foreach(file IN LISTS files)
  file(STRINGS "${file}" lines)
  foreach(line IN LISTS lines)
    # A component or alternative is an indented "name : type" line; comments start with #.
    if(line MATCHES "^[ \t]+([A-Za-z][A-Za-z0-9-]*)[ \t]*:")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
set(keywords auto bool default delete new class struct union enum int char void long short
    signed unsigned float double const static public private protected operator this
    template typename and or not xor true false case switch for while do if else break
    continue return goto try catch throw sizeof register virtual friend export extern
    inline explicit mutable namespace using typedef volatile asm)
set(body "// Generated from ${IN}; do not edit.\n#pragma once\n\n#include <string_view>\n\n")
string(APPEND body "/// The component and alternative names of the messages, for Value's accessors.\n")
string(APPEND body "namespace ${NS} {\n\n")
foreach(name IN LISTS names)
  string(REPLACE "-" "_" symbol "${name}")
  if(symbol IN_LIST keywords)
    string(APPEND symbol "_")
  endif()
  string(APPEND body "inline constexpr std::string_view ${symbol}{\"${name}\"};\n")
endforeach()
string(APPEND body "\n} // namespace ${NS}\n")
file(WRITE "${OUT}.tmp" "${body}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
