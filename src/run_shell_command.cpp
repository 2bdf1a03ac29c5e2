#include "run_shell_command.h"

#include <sys/types.h>
#include <sys/wait.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

[[noreturn]] void exec_shell(const char *command_line)
{
	// execv takes char *const[] for historical reasons; it writes through none of them.
	char *const argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
	                      const_cast<char *>(command_line), nullptr};

	puts(command_line);
	// On a pipe or a file stdout is fully buffered, and execv would throw the
	// echo away with the buffer. A failed flush must not stop the command.
	fflush(stdout);
	execv("/bin/sh", argv);

	puts("error");
	exit(127);
}

} // namespace

int run_shell_command(const char *command_line)
{
	if (command_line == nullptr)
		return -1;

	const pid_t pid = fork();
	if (pid == -1)
		return -1;
	if (pid == 0)
		exec_shell(command_line);

	// Only whether the child ended matters, not how. No handler is installed,
	// so nothing should interrupt the wait; if it fails anyway, say so rather
	// than wait again.
	return waitpid(pid, nullptr, 0) > 0 ? 0 : -1;
}
