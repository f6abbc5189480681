// The library sees its own folders, the exported headers and the platform's.
#include "OrvOleDb.h"
#include "command/command_state.h"
#include "platform/oledb.h"

int main() { return 0; }
