// The --json output of the commands: one JSON object on one line, written by nlohmann-json.
#pragma once

#include "common/Text.h"
#include "workflow/RegisterWorkflow.h"

#include <nlohmann/json.hpp>

// The value as one line of JSON text (no line end). The output is plain ASCII: control characters and every
// non-ASCII character are written as \u escapes. Text that is not valid UTF-8 (an ANSI text from a driver, a cut
// sequence) is never dropped and never passed through: each ill-formed sequence becomes U+FFFD, so the output is
// always valid JSON. An ordered_json keeps its members in the order they were added; a json sorts them by name.
[[nodiscard]] CString JsonLine(const nlohmann::ordered_json& value);
[[nodiscard]] CString JsonLine(const nlohmann::json& value);

// How a set password is shown, in the text and in JSON.
inline constexpr char kPasswordMask[] = "********";

// The JSON output's format number; it changes only when a member changes meaning or goes away.
inline constexpr int kJsonFormat = 1;

// A run's report as the one object --json prints (docs/enlistor-output.schema.json): the members every command has,
// then the command's own.
[[nodiscard]] nlohmann::ordered_json ReportObject(const RunReport& report);
// The object of a refused command line or password source (outcome "usage", exit code 2). command may be null.
[[nodiscard]] nlohmann::ordered_json UsageObject(const char* command, const CString& error, const CString& cause);
