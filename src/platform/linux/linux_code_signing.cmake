# Code signing for the Linux backend: qlsign, with the vendor anchors of
# QL_VENDOR_ANCHORS compiled into the launcher. The anchors are part of the
# binary, so neither the environment nor a file edited after the build can
# add one.
#
# Run as a script (cmake -DIN=… -DOUT=… -P this-file) it writes the source
# file that holds the PEM text.
if(CMAKE_SCRIPT_MODE_FILE)
  file(READ "${IN}" pem)
  string(LENGTH "${pem}" length)
  if(length EQUAL 0)
    message(FATAL_ERROR "vendor anchors file ${IN} is empty")
  endif()
  file(WRITE "${OUT}.tmp"
    "// Generated from ${IN}; do not edit.\n"
    "namespace ql::linux_backend {\n"
    "extern const char kVendorAnchorsPem[];\n"
    "const char kVendorAnchorsPem[] = R\"qlanchors(${pem})qlanchors\";\n"
    "}\n")
  file(RENAME "${OUT}.tmp" "${OUT}")
  return()
endif()

set(_ql_anchors_cc ${CMAKE_CURRENT_BINARY_DIR}/generated/vendor_anchors.cc)
add_custom_command(
  OUTPUT ${_ql_anchors_cc}
  COMMAND ${CMAKE_COMMAND} -DIN=${QL_VENDOR_ANCHORS} -DOUT=${_ql_anchors_cc}
          -P ${CMAKE_CURRENT_LIST_DIR}/linux_code_signing.cmake
  DEPENDS ${QL_VENDOR_ANCHORS} ${CMAKE_CURRENT_LIST_DIR}/linux_code_signing.cmake
  COMMENT "Compiling in the vendor trust anchors"
  VERBATIM)
target_sources(ql_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/linux_code_signing.cc ${_ql_anchors_cc})
target_link_libraries(ql_platform PUBLIC qlsign)
if(QL_VENDOR_ANCHORS STREQUAL "${CMAKE_BINARY_DIR}/dev-identity/root.pem")
  # The development identity is made by ql-codesign (tools/sign).
  add_dependencies(ql_platform ql_dev_identity)
endif()
