// Turns a command document from the server into WritebackCommand records. Every field a kind
// needs is checked here, at parse time, and the outcome kept in the record's flags; a command
// whose payload fails is still kept so that the server can be told why it was refused. Only
// objects without an integer "id" or a string "kind" are dropped.
#pragma once
#include <string_view>
#include <vector>

#include "writeback/command.h"

// Clears out, then appends one record per accepted command object, in document order.
// True when a "commands" array was found (even an empty one); on false the caller discards
// the list and acknowledges nothing.
bool parse_commands(std::string_view text, std::vector<WritebackCommand>& out);

// The "v" and "f" of a restore command inside [begin, end). On success stores
// restore_fields and restore_version; on refusal leaves both untouched.
bool parse_restore_payload(const char* begin, const char* end, WritebackCommand& command);

// The tree_control fields inside [begin, end); the result is what goes into tree_ok.
bool parse_tree_fields(const char* begin, const char* end, WritebackCommand& command);

// The kind for the exact, case-sensitive kind text; CommandKind::unknown for any other.
CommandKind command_kind_from_text(std::string_view text);
// The kind text of a known kind; empty for CommandKind::unknown and out-of-range values.
const char* command_kind_text(CommandKind kind);
