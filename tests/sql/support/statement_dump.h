// Test helpers: a one-line dump of everything a prepared statement's parser built, and a
// prepare-or-error runner, so that tests state SQL texts and their expected results as tables.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "sql/query_statement.h"

namespace tovenmarsh::sql::testing {

// Starts the engine library once for the test binary.
void EnsureEngineLibrary();

// "Q0{...} Q1{...}": per query its kind and every clause it holds.
std::string DumpStatement(const TQueryStatement& statement);

// Prepares text on a fresh statement (no directory): the dump, or "ERROR <code>: <message>".
std::string PrepareText(std::string_view text, size_t* consumed = nullptr);

}  // namespace tovenmarsh::sql::testing
