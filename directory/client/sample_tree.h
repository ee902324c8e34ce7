#pragma once
// The built-in sample tree: the LDIF text of samples/sample_tree.ldif, compiled into the client
// so that a fresh machine opens on real-looking data.
#include <string_view>

[[nodiscard]] std::string_view EmbeddedSampleTree();
