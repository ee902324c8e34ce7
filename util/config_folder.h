#pragma once
// Where this user's settings and connections live: the one answer both programs and every layer
// use, so the window's settings and the client's connections.ini are always found side by side.
#include <filesystem>
#include <optional>

// $XDG_CONFIG_HOME/orvane when that variable is an absolute path, else $HOME/.config/orvane when
// HOME is set and not empty, else <the account's home in the password database>/.config/orvane;
// nullopt when none of them names a folder, rather than a guess that other users can write to.
[[nodiscard]] std::optional<std::filesystem::path> UserConfigFolder();
