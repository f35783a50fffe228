#pragma once

// Run with this argument and a count, the diag test program writes that many log lines through
// the log object and exits: a second process for the tests of concurrent writers.
constexpr char kWriteLogLinesArgument[] = "--write-log-lines";
// Set by that second process once its log is open, so that the first one does not start writing
// before: a log that has grown past the restart size would otherwise be started afresh.
constexpr char kLogWriterReadyEvent[] = "DaxinstTestLogWriterReady";
