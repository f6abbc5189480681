// Quoting for the SQL text that the engine writes itself: names and literals of the
// statements that declare tables of a store, and the arguments of a virtual table module
// read back from such a statement.
//
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace orv::engine {

// "name" with each " inside doubled.
std::string QuoteName(std::string_view name);
// 'text' with each ' inside doubled.
std::string QuoteLiteral(std::string_view text);
// A module argument as CREATE VIRTUAL TABLE hands it over ('text' or "text", the quote
// doubled inside) as the text it stands for; an unquoted argument as it is.
std::string UnquoteArgument(std::string_view argument);

}  // namespace orv::engine
