#pragma once
// The version the window's caption and the command-line export's --version show, one number for
// both programs.
inline constexpr const char* kOrvaneVersion = "v2.01";
