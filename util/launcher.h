#pragma once
// Hands a command line to the desktop: a document, a web address, a program with arguments, or
// a built-in command of the command interpreter. What is handed over (file, parameters,
// directory, show command) is computed here; the desktop-open hook does the opening.
#include <functional>
#include <string>
#include <string_view>

// The show code for a normal window.
inline constexpr int kShowNormal = 1;

// Results of the desktop opener, shell style: greater than 32 means accepted.
inline constexpr int kShellOk = 33;
inline constexpr int kShellFileNotFound = 2;
inline constexpr int kShellPathNotFound = 3;
inline constexpr int kShellAccessDenied = 5;
inline constexpr int kShellOutOfMemory = 8;
inline constexpr int kShellNoAssociation = 31;

// Opens `file` with `parameters` in the working `directory` (empty: the current one) with the
// show code; returns the shell-style result (> 32 accepted).
using DesktopOpenHook = std::function<int(const std::string& file, const std::string& parameters,
                                          const std::string& directory, int showCommand)>;

// Installs the window's opener; an empty function restores DefaultDesktopOpen.
void SetDesktopOpenHook(DesktopOpenHook hook);

// The opener used without an installed hook. An empty file gives kShellFileNotFound. An
// executable regular file is started detached with the parameters split at blanks (parameters
// starting "/C " run the rest with the interpreter's -c); anything else (an address, a document)
// goes to xdg-open. kShellOk when the process was started, else the mapped error.
[[nodiscard]] int DefaultDesktopOpen(const std::string& file, const std::string& parameters,
                                     const std::string& directory, int showCommand);

// LaunchCommand(commandLine, kShowNormal); the status-bar click ignores the result.
int OpenDocument(std::string_view commandLine);
// The shortest leading run of blank-separated words naming an existing regular file is the
// file, the words after it the parameters; a lone built-in word with no such file runs the
// command interpreter ("comspec", else "COMSPEC", else /bin/sh) with "/C " + the whole line.
// The directory is the file's path part (up to and including the last '/', '\' or ':') when the
// file exists; otherwise (addresses, unknown names) it is empty. Returns the hook's result.
[[nodiscard]] int LaunchCommand(std::string_view commandLine, int showCommand);
// Whether `text` is one of the interpreter's built-in words ("CD" ... "VER"), ASCII case ignored.
[[nodiscard]] bool IsShellBuiltin(std::string_view text);
// The value of the environment variable `name`; "" when it is not set.
[[nodiscard]] std::string EnvironmentValue(std::string_view name);
