// How the command-line tool reports a failure that ends it outside a run (a refused argument,
// release or record, no MIDI system, no device): the text and the advice on standard error and,
// with --json, the same as an error event on standard output, so that a script reading the
// stream learns why nothing ran.
#pragma once

#include <string>

namespace fen {

// Whether failures also go to standard output as error events (update --json).
void ReportFailuresAsJson(bool json);
bool FailuresAsJson();

// Prints "fenupdator-cli: TEXT" and, when given, ADVICE on a line of its own on standard
// error, and with --json the error event {"event":"error","exit":...,"text":...,"advice":...}.
// `text` may quote outside text (names, file contents): it is escaped for the terminal. Returns
// `exit_status`.
int ReportFailure(int exit_status, const std::string& text, const std::string& advice = {});

// The error event for a failure that `label`'s run (empty: the only run) reported itself.
void PrintErrorEvent(int exit_status, const std::string& text, const std::string& advice,
                     const std::string& label = {});

}  // namespace fen
