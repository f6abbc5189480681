// Reading an .xlsx workbook that is already in memory: the same reader as LoadXlsx, for the
// fuzz target and for tests that build archives on the fly. Not part of the engine's
// workbook interface (workbook.h); nothing outside engine/workbook, fuzz/ and tests/ needs it.
//
// The caller owns `data`, which must stay valid for the call; `out` belongs to the caller.
// Any thread, on different inputs at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/workbook/reading.h"
#include "engine/workbook/workbook.h"

namespace orv::engine::workbook {

// As LoadXlsx; `error` completes "Cannot open the workbook '...': ...".
bool LoadXlsxFromMemory(const void* data, std::size_t size, Workbook& out, std::string& error);

}  // namespace orv::engine::workbook
