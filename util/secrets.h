#pragma once
// Keeping a password out of what the process leaves behind: no core file that could hold it, and
// the bytes of a text that held one overwritten before they are given back.
#include <string>

// Sets the process's core-file limit, soft and hard, to 0, so that a crash writes no core file
// (nor can a child raise the limit again). False when the system refuses.
[[nodiscard]] bool DisableCoreFiles();

// Overwrites every byte `text` owns, its spare capacity included (a short text's inline buffer
// keeps what was there before a move), in a way the compiler does not drop, and leaves it empty.
void WipeText(std::string& text);
