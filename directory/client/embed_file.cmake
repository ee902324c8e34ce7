# Writes a C++ source defining EmbeddedSampleTree() with the bytes of INPUT; run at build time
# so that editing the LDIF rebuilds the client.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include \"directory/client/sample_tree.h\"\n"
  "namespace {\nconstexpr char kBytes[] = {${bytes} '\\0'};\n}  // namespace\n"
  "std::string_view EmbeddedSampleTree() { return {kBytes, ${size}}; }\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
