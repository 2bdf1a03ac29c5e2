#include "run_shell_command.h"

#include <sys/types.h>
#include <sys/wait.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace {

[[noreturn]] void exec_shell(const char *command_line)
{
	// execv takes char *const[] for historical reasons; it writes through none of them.
	char *const argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
	                      const_cast<char *>(command_line), nullptr};

	// The echo must never stop the command. With SIGPIPE at its default, a
	// standard output whose reader has gone would kill this child before the
	// shell starts, and the launcher would still report success. So the echo
	// is written with SIGPIPE ignored, and a failed write or flush is let go;
	// the shell gets the default back and meets the closed pipe itself, as
	// under sh -c. On a pipe or a file stdout is fully buffered, and execv
	// would throw the echo away with the buffer: hence the flush.
	signal(SIGPIPE, SIG_IGN);
	puts(command_line);
	fflush(stdout);
	// Ignoring does not discard a SIGPIPE that the parent's mask blocks: it
	// stays pending through execv and would kill the shell, mid-command,
	// once the shell unblocks it. A forked child starts with nothing
	// pending, so a pending SIGPIPE is the echo's own: take it. The mask is
	// left as inherited.
	sigset_t pending;
	if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
		sigset_t sigpipe;
		sigemptyset(&sigpipe);
		sigaddset(&sigpipe, SIGPIPE);
		const timespec no_wait = {0, 0};
		sigtimedwait(&sigpipe, nullptr, &no_wait);
	}
	signal(SIGPIPE, SIG_DFL);
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

	// Only whether this child ended matters, not how; and only this child:
	// the launcher may have inherited others, from a shell that started a job
	// and then exec'd it. No handler is installed, so nothing should interrupt
	// the wait; if it fails anyway, say so rather than wait again.
	return waitpid(pid, nullptr, 0) > 0 ? 0 : -1;
}
