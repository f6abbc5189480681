// orvsql's .import and .export: copying rows between the open file and a delimited text
// file through the library's exported classes, as any host would; only the inserts into a
// database, which need parameters that those classes do not bind, reach the provider's
// command through the connection's session. The text file is reached as a table of its
// folder (a connection of its own on the folder); rows are read with a command and written
// inside one transaction on the destination, so a failed copy leaves nothing behind: into a
// database by one prepared INSERT whose parameters are bound for each row, into a text file
// by INSERTs of many rows each. On a terminal (stderr) a progress bar shows the rows copied;
// the count goes to stdout at the end.
//
// The functions borrow the shell's open connection for the duration of the call; one
// thread, the shell's.
#pragma once

#include <string>

#include "OrvOleDb.h"

namespace orvsql {

// .import FILE TABLE: copies the text file FILE into TABLE of `destination`, creating
// TABLE (with the file's column types) when it does not exist. An exit status (shell.h);
// errors are printed.
int ImportText(OrvOleDbConnection* destination, const std::string& file, const std::string& table, bool progress);

// .export TABLE FILE: copies TABLE of `source` into the new text file FILE (.csv, .txt, .tab
// or .asc), which must not exist. An exit status; errors are printed.
int ExportText(OrvOleDbConnection* source, const std::string& table, const std::string& file, bool progress);

// --convert SOURCE DEST: converts the genuine Access database SOURCE into the new database
// file DEST with OrvOleDbConnection::ConvertMdbFile. An exit status; errors are printed.
int ConvertAccess(const std::string& source, const std::string& destination, bool progress);

}  // namespace orvsql
