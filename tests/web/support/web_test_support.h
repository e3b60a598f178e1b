// Helpers shared by the web tests: running an oracle program, and the markup skeleton of a
// page, which hostile data must leave unchanged.
#pragma once

#include <string>

namespace tovenmarsh::web::testing {

// Runs a shell command with input on its standard input; returns its standard output.
// Sets exitCode (when given) to the command's exit status.
std::string RunProgram(const std::string& command, const std::string& input,
                       int* exitCode = nullptr);

// Runs python3 with the given script text; the input goes to its standard input.
std::string RunPython(const std::string& script, const std::string& input);

// The characters that shape markup, script and placeholders, in order: < > " ' CR LF and a
// "#" that starts a word (a placeholder such as #content); "<br>" (a data line break shown as
// text) is left out. Escaped data adds none of them.
std::string MarkupSkeleton(const std::string& html);

// A value that tries every way out of a page: markup, script, attribute quotes, a page
// placeholder and a line break.
extern const char* const kHostileValue;

}  // namespace tovenmarsh::web::testing
