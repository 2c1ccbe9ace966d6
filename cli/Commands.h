// The unattended commands: each is one run of the workflow (workflow/RegisterWorkflow.h), printed as text lines (the
// outcome on standard output, errors and warnings on standard error) or as one JSON object on standard output.
#pragma once

#include "cli/Arguments.h"
#include "workflow/RegisterWorkflow.h"

// Runs the command with the options and returns the process exit code of workflow/ExitCodes.h. Nothing is read
// but the password source.
[[nodiscard]] int RunCommand(WorkflowCommand command, const CommandLineOptions& options);

// A refused command line or password source: one line on standard error, or (asJson) one JSON object with the
// outcome "usage" on standard output. command may be null when no command was recognised; hint follows the reason
// in the line only.
void PrintRefusal(const char* command, const CString& reason, bool asJson, const char* hint = "");
