#include <signal.h>

#include "run_shell_command.h"

int main(int argc, char *argv[])
{
	// An ignored disposition survives fork and execv, so a parent that ignores
	// these would hand that on to every process of the command. Put them back
	// as a fresh terminal has them, here in the launcher too, so that Ctrl-C
	// ends the waiting launcher along with the command.
	signal(SIGPIPE, SIG_DFL);
	signal(SIGINT, SIG_DFL);
	signal(SIGHUP, SIG_DFL);
	signal(SIGQUIT, SIG_DFL);
	signal(SIGCHLD, SIG_DFL);

	// argc may be 0: then argv[1] lies past the vector's end.
	const char *const command_line = argc >= 2 ? argv[1] : nullptr;

	// Exit status 0: the command's child was created and has ended, whatever
	// the command did. 255 (from -1): no command, no child, or the wait failed.
	return run_shell_command(command_line);
}
