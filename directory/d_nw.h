#pragma once
// D_NW, connection and contexts: starts the directory client it is handed, lists the trees it is
// connected to, moves contexts between trees and name contexts, reads who is logged in, and turns
// completion codes into error boxes.
#include <cstdint>
#include <string>
#include <string_view>

#include "directory/client/dir_client.h"
#include "directory/message_sink.h"
#include "util/string_list.h"

// What ClientConnection gives while the client has no connection open.
inline constexpr DirConnectionHandle kNoClientConnection = 0xFFFF;

// The connection InitNetWare opens: the primary one or, without one, the first the client lists;
// kNoClientConnection while the client is not started (before a start-up, after a shutdown or a
// failed start) or opened none of its connections.
[[nodiscard]] DirConnectionHandle ClientConnection(DirClient& client);

// Starts the client and opens the primary connection (or, without one, the first the client
// lists). A client already started is not started again, so its connections file is not read
// again until it is shut down. Returns 0 without a connection when the client started but could
// open none of its connections (DSUnopenedConnectionsText says why). On failure shows one box
// through `messages` ("... InitNetWare returned error 0x...") and returns the 16-bit code.
[[nodiscard]] uint16_t InitNetWare(DirClient& client, ErrorMessageSink& messages);
// Shows what the running client's start-up kept although it did not fit (DirClientWarnings: an
// LDIF's values outside their syntax), one box per source; nothing when the client is not
// running. Called once after each start, when the user can read it.
void ShowClientWarnings(DirClient& client, ErrorMessageSink& messages);

// What the client's start-up could not open, to be said once: a first line saying that their
// trees are left out, then "<tree>: <reason>" for each connection, and a last line naming the
// tree that is the default instead when the primary connection was among them. Empty when every
// connection opened.
[[nodiscard]] std::string DSUnopenedConnectionsText(DirClient& client);

// The reasons why connections of `tree` (ASCII case ignored) could not be opened at start-up,
// "; "-joined; empty when none of them failed.
[[nodiscard]] std::string DSUnopenedTreeText(DirClient& client, std::string_view tree);

// Appends the tree of every connection, in the client's order, each tree once (ASCII case
// ignored); a connection whose cleaned tree name is empty adds nothing. Lets pending window
// messages run once per connection.
void DSGetTreeNames(DirClient& client, TStringList& list);

// The cleaned tree name of the primary connection; "" when there is none.
[[nodiscard]] std::string DSGetDefaultTree(DirClient& client);

// A tree name as the client reports it, made presentable: cut to 32 characters, then stripped of
// trailing "_".
[[nodiscard]] std::string CleanTreeName(std::string_view reported);

// Moves `context` to `tree` (unless it is there already, ASCII case ignored; "" keeps the tree)
// and then to `nameContext`, one leading "." removed; "" means the tree's default name context,
// or "[Root]" when it has none or it cannot be read. Returns the client's completion code.
[[nodiscard]] int32_t DSSetContext(DirClient& client, DirContext context, std::string_view tree,
                                   std::string_view nameContext);
// DSSetContext(client, context, tree, "").
[[nodiscard]] int32_t DSChangeCurrentTree(DirClient& client, DirContext context,
                                          std::string_view tree);
// DSSetContext(client, context, "", name).
[[nodiscard]] int32_t DSSetNameContext(DirClient& client, DirContext context,
                                       std::string_view name);
// DSSetNameContext(client, context, "[Root]").
[[nodiscard]] int32_t DSSetRootContext(DirClient& client, DirContext context);

// The context's name context / tree name with its first "CN=" (exact capitals) removed; "" when
// it cannot be read.
[[nodiscard]] std::string DSGetNameContext(DirClient& client, DirContext context);
[[nodiscard]] std::string DSGetTreeName(DirClient& client, DirContext context);

// Sets ('+') or clears ('-') the `mask` bits of the context's flags; any other sign writes the
// flags back unchanged. Nothing is written when the flags cannot be read; failures are silent.
void DSModifyContextFlags(DirClient& client, DirContext context, char sign, uint32_t mask);

// The name of the object the context's connection is logged in as; "" on failure.
[[nodiscard]] std::string DSWhoAmI(DirClient& client, DirContext context);

// "0x%.4X" of the code taken as unsigned 32-bit, then " (detail)" with the client's error text,
// or the system's text for the same number when the client has none.
[[nodiscard]] std::string NWErrorText(DirClient& client, int32_t code);

// Nothing for code 0; otherwise the box "<what> returned error <NWErrorText(code)>".
void NWErrorBox(DirClient& client, ErrorMessageSink& messages, int32_t code, std::string_view what);

// Nothing for code 0; otherwise the box "Error %04X: <what>", the code as unsigned 32-bit upper-
// case hexadecimal (-326 gives FFFFFEBA).
void ErrorBox(ErrorMessageSink& messages, int32_t code, std::string_view what);
