#include "run_shell_command.h"

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// fork clears the parent-death signal that the launcher's caller set, so
// that the command would outlive a caller that asked the kernel to end it.
// The shell takes it as under sh -c. Should the launcher have ended before it
// was set, no signal comes: the child sends it to itself.
void take_death_signal(const int death_signal, const pid_t launcher)
{
	// Where the call is refused, the command outlives its caller, as it would
	// with no signal set.
	if (death_signal == 0 || prctl(PR_SET_PDEATHSIG, death_signal) != 0)
		return;
	// Only a parent that is seen and is not the launcher says that the launcher
	// has gone. A refused getpid or getppid returns -1, or -ENOSYS from a raw
	// call, and tells nothing; so does 0, a launcher outside this child's PID
	// namespace, whose reaper lies outside too. A launcher seen by getpid
	// means this child's getpid works as well, under the same filter.
	const pid_t parent = getppid();
	if (launcher > 0 && parent > 0 && parent != launcher)
		kill(getpid(), death_signal);
}

[[noreturn]] void exec_shell(const char *command_line, const int death_signal, const pid_t launcher)
{
	take_death_signal(death_signal, launcher);

	// execv takes char *const[] for historical reasons; it writes through none of them.
	char *const argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
	                      const_cast<char *>(command_line), nullptr};

	// The echo must never stop the command, yet a write can raise a signal
	// that kills this child before the shell starts, and the launcher would
	// still report success: SIGPIPE where the reader has gone, SIGXFSZ where
	// a log is at its file-size limit. So the echo is written with both
	// ignored, and a failed write is let go; the shell meets the pipe or the
	// limit itself, as under sh -c. On a pipe or a file stdout is fully
	// buffered, and execv would throw the echo away with the buffer: hence
	// the flush. Line and newline go in one write, which a pipe keeps whole
	// up to PIPE_BUF and an O_APPEND log always, so that launchers sharing a
	// log do not tear each other's echo: the buffer holds the line, the
	// newline, and room for what the stream keeps for itself. It is mapped
	// here, after the fork, so that the waiting parent holds none of it; not
	// taken from the stack, which the line may not fit in (execve lets the
	// arguments and the environment take 128 KiB together, whatever the
	// stack limit), nor from malloc, whose code would cost the waiting
	// launcher a page. Where the mapping is refused (strict overcommit, a
	// filter), the stream's own buffer writes the echo in pieces, and the
	// command still runs.
	const size_t echo_size = strlen(command_line) + 1 + BUFSIZ;
	void *const echo_buffer = mmap(nullptr, echo_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (echo_buffer != MAP_FAILED)
		setvbuf(stdout, static_cast<char *>(echo_buffer), _IOFBF, echo_size);
	// A sandbox's filter may refuse either ignore. Then the echo's own
	// signal could kill the child, so nothing of the echo is written, as on
	// a closed stdout. SIGXFSZ is left as it was: not asked for where
	// SIGPIPE was refused, or refused itself.
	const auto inherited_sigxfsz = signal(SIGPIPE, SIG_IGN) != SIG_ERR ? signal(SIGXFSZ, SIG_IGN) : SIG_ERR;
	if (inherited_sigxfsz != SIG_ERR) {
		puts(command_line);
		fflush(stdout);
		// Ignoring does not stop a signal that the parent's mask blocks: the
		// echo's own stays pending through execv and would kill the shell,
		// mid-command, once the shell unblocks it. Setting a signal to be
		// ignored discards a pending one, blocked or not, with no call that a
		// sandbox might deny beyond those already made. SIGXFSZ is not one of
		// the five, and goes back to what the launcher was given.
		signal(SIGPIPE, SIG_IGN);
		signal(SIGXFSZ, SIG_IGN);
		signal(SIGXFSZ, inherited_sigxfsz);
	}
	// SIGPIPE is one of the five. The mask stays as inherited.
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

	// The call writes nothing where it fails: then there is none.
	int death_signal = 0;
	prctl(PR_GET_PDEATHSIG, &death_signal);
	const pid_t launcher = death_signal != 0 ? getpid() : 0;
	const pid_t pid = fork();
	if (pid == -1)
		return -1;
	if (pid == 0)
		exec_shell(command_line, death_signal, launcher);

	// Only whether this child ended matters, not how; and only this child:
	// the launcher may have inherited others, from a shell that started a job
	// and then exec'd it. No handler is installed, so nothing should interrupt
	// the wait; if it fails anyway, say so rather than wait again.
	return waitpid(pid, nullptr, 0) > 0 ? 0 : -1;
}
