#ifndef SHLAUNCH_RUN_SHELL_COMMAND_H
#define SHLAUNCH_RUN_SHELL_COMMAND_H

// Runs command_line as "/bin/sh" "-c" command_line in a child that first
// echoes the line to standard output, and waits for that child.
// Returns 0 once the child has ended, however the command ended; -1 when
// command_line is null, the child cannot be created, or the wait fails.
int run_shell_command(const char *command_line);

#endif
