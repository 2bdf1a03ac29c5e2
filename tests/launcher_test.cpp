// End to end: every case runs the built launcher and looks at what its user
// would see (standard output, standard error, exit status) or at what the
// command itself sees of its process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace {

const char *const launcher = SHLAUNCH_PATH;
constexpr int cannot_prepare = 77; // the fault could not be set up here: skip

struct Outcome {
	int code; // exit status, or 128 + signal
	std::string out, err;
};

std::string drain(int fd)
{
	std::string text;
	char buf[65536];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	close(fd);
	return text;
}

// Runs the launcher with exactly argv, stdin reading `input`; `prepare` runs
// in the new process just before the exec, to hand it a fault or a setting.
// The launcher starts a process group, ended once the launcher has been
// reaped: nothing that the command leaves behind outlives the case.
Outcome launch(std::vector<const char *> argv, const std::function<void()> &prepare = [] {},
               const std::string &input = "")
{
	int in[2], out[2], err[2];
	if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
		return {-1, "", "pipe failed"};
	argv.push_back(nullptr);
	const pid_t pid = fork();
	if (pid == 0) {
		setpgid(0, 0);
		dup2(in[0], 0);
		dup2(out[1], 1);
		dup2(err[1], 2);
		prepare();
		execv(launcher, const_cast<char *const *>(argv.data()));
		_exit(126);
	}
	close(in[0]);
	close(out[1]);
	close(err[1]);
	if (write(in[1], input.data(), input.size()) < 0)
		ADD_FAILURE() << "writing stdin";
	close(in[1]);
	Outcome r{-1, drain(out[0]), drain(err[0])};
	int status;
	waitpid(pid, &status, 0);
	kill(-pid, SIGKILL);
	r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return r;
}

void ignore(std::initializer_list<int> signals)
{
	for (int sig : signals)
		signal(sig, SIG_IGN);
}

void block(int sig)
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, sig);
	sigprocmask(SIG_BLOCK, &set, nullptr);
}

// Standard output on a pipe whose reader goes at exec, being close-on-exec.
void dead_pipe()
{
	int dead[2];
	if (pipe2(dead, O_CLOEXEC) || dup2(dead[1], 1) < 0)
		_exit(cannot_prepare);
}

// Standard output on a log at its file-size limit, where a write raises
// SIGXFSZ, here at its default.
void full_log()
{
	const rlimit none = {0, 0};
	const int log = open("/tmp", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
	if (log < 0 || dup2(log, 1) < 0 || setrlimit(RLIMIT_FSIZE, &none) || signal(SIGXFSZ, SIG_DFL) == SIG_ERR)
		_exit(cannot_prepare);
}

// A stack limit far below the default, which the echo must fit in.
void small_stack()
{
	const rlimit small = {64 * 1024, 64 * 1024};
	if (setrlimit(RLIMIT_STACK, &small))
		_exit(cannot_prepare);
}

TEST(Launcher, EchoesTheLineThenRunsItAsShC)
{
	const std::string probe = "tr '\\0' '|' </proc/$$/cmdline; echo";
	const struct {
		std::vector<const char *> argv;
		std::string out;
		int code;
	} cases[] = {
		{{}, "", 255},                              // not even a program name
		{{"shlaunch"}, "", 255},                    // no command
		{{"shlaunch", "echo hi"}, "echo hi\nhi\n", 0},
		{{"shlaunch", ""}, "\n", 0},                // an empty line is a command too
		{{"shlaunch", "exit 3"}, "exit 3\n", 0},    // the command's status is not passed on
		{{"shlaunch", "kill -KILL $$"}, "kill -KILL $$\n", 0},
		{{"shlaunch", "--version"}, "--version\n", 0}, // no options of its own
		{{"shlaunch", "echo \"$0\" $#", "echo second"}, "echo \"$0\" $#\n/bin/sh 0\n", 0},
		{{"shlaunch", probe.c_str()}, probe + "\n/bin/sh|-c|" + probe + "|\n", 0},
	};
	for (const auto &c : cases) {
		const Outcome r = launch(c.argv);
		const char *line = c.argv.size() > 1 ? c.argv[1] : "(none)";
		EXPECT_EQ(r.out, c.out) << line;
		EXPECT_EQ(r.code, c.code) << line;
	}
}

TEST(Launcher, EchoIsByteExactAndFirstInAPipeAndInAFile)
{
	// The shell stops at "exit 0"; the bytes after it only travel in the echo.
	std::string line = "exit 0\n";
	for (int byte = 1; byte < 256; ++byte)
		line += static_cast<char>(byte);
	line.resize(128 * 1024 - 1, 'x'); // the longest single argument Linux passes
	EXPECT_EQ(launch({"shlaunch", line.c_str()}).out, line + "\n");

	const int file = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
	ASSERT_GE(file, 0);
	const Outcome r = launch({"shlaunch", "echo after"}, [&] { dup2(file, 1); });
	EXPECT_EQ(r.code, 0);
	lseek(file, 0, SEEK_SET);
	EXPECT_EQ(drain(file), "echo after\nafter\n");

	// Launchers sharing a log must not tear each other's echo: line and
	// newline go in one write, which a pipe keeps whole up to PIPE_BUF. In
	// packet mode, each write is one read.
	int packets[2];
	if (pipe2(packets, O_DIRECT | O_CLOEXEC) != 0)
		GTEST_SKIP() << "no packet-mode pipe here";
	const std::string full_pipe_buf = "exit 0 " + std::string(PIPE_BUF - 8, 'x');
	launch({"shlaunch", full_pipe_buf.c_str()}, [&] { dup2(packets[1], 1); });
	close(packets[1]);
	char first[2 * PIPE_BUF];
	EXPECT_EQ(read(packets[0], first, sizeof first), PIPE_BUF) << "the echo came in more than one write";
	close(packets[0]);
}

unsigned long long signal_mask(const std::string &proc_status, const char *field)
{
	return strtoull(proc_status.c_str() + proc_status.find(field) + strlen(field), nullptr, 16);
}

TEST(Launcher, CommandInheritsAllButTheFiveIgnoredDispositions)
{
	// Builtins only, then exec: once dash has forked it clears its signal mask.
	const char *line = "echo \"$PROBE\"; pwd; read -r in; echo \"$in\" >&5; "
	                   "exec /bin/grep -E '^Sig(Blk|Ign)' /proc/self/status";
	const Outcome r = launch(
		{"shlaunch", line},
		[] {
			ignore({SIGPIPE, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGTERM, SIGXFSZ});
			block(SIGUSR2);
			setenv("PROBE", "inherited", 1);
			setenv("PATH", "/nonexistent", 1); // the shell is /bin/sh, not sh on PATH
			dup2(1, 5);
			if (chdir("/") != 0)
				_exit(cannot_prepare);
		},
		"stdin\n");
	// What this test was itself started with passes on too, but for the five.
	const std::string runner = drain(open("/proc/self/status", O_RDONLY | O_CLOEXEC));
	const auto bit = [](int sig) { return 1ULL << (sig - 1); };
	const unsigned long long five = bit(SIGPIPE) | bit(SIGINT) | bit(SIGHUP) | bit(SIGQUIT) | bit(SIGCHLD);
	char masks[64];
	snprintf(masks, sizeof masks, "SigBlk:\t%016llx\nSigIgn:\t%016llx\n",
	         signal_mask(runner, "SigBlk:\t") | bit(SIGUSR2),
	         (signal_mask(runner, "SigIgn:\t") | bit(SIGTERM) | bit(SIGXFSZ)) & ~five);
	EXPECT_EQ(r.out, std::string(line) + "\ninherited\n/\nstdin\n" + masks);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.code, 0);
}

TEST(Launcher, DiesOfAnInterruptHangUpOrQuitSentToItAlone)
{
	// Ignored by its parent, they are at their defaults in the launcher too,
	// so that Ctrl-\ ends it as Ctrl-C does.
	for (const int sig : {SIGINT, SIGHUP, SIGQUIT}) {
		const std::string line = "kill -" + std::to_string(sig) + " $PPID";
		const Outcome r = launch({"shlaunch", line.c_str()}, [] {
			const rlimit no_core = {0, 0};
			setrlimit(RLIMIT_CORE, &no_core);
			ignore({SIGINT, SIGHUP, SIGQUIT});
		});
		EXPECT_EQ(r.code, 128 + sig) << line;
	}
}

TEST(Launcher, PipelineEndsQuietlyUnderAnInheritedIgnoredSigpipe)
{
	// With SIGPIPE ignored, yes would see EPIPE and complain on stderr.
	const Outcome r = launch({"shlaunch", "yes | head -n1"}, [] { ignore({SIGPIPE}); });
	EXPECT_EQ(r.out, "yes | head -n1\ny\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.code, 0);
}

TEST(Launcher, RunsWithNoReaderAndWaitsForItsOwnChildToEnd)
{
	// With stdout closed, a pipe whose reader has gone, or a log at its size
	// limit, the echo fails and the command runs all the same; it meets
	// SIGPIPE or SIGXFSZ itself, as under sh -c. A parent that blocks them
	// must not find the echo's own left pending, to kill the shell once it
	// unblocks it to wait. Nor may a small stack stop the echo.
	const struct {
		const char *line;
		std::function<void()> prepare;
		const char *err;
	} no_reader[] = {
		{"echo ran >&2", [] { close(1); }, "ran\n"},
		{"echo ran >&2; echo x; echo not reached >&2", dead_pipe, "ran\n"},
		{"echo ran >&2; /bin/true; echo ran on >&2", [] { dead_pipe(); block(SIGPIPE); }, "ran\nran on\n"},
		{"echo ran >&2", full_log, "ran\n"},
		{"echo ran >&2; /bin/true; echo ran on >&2", [] { full_log(); block(SIGXFSZ); }, "ran\nran on\n"},
		{"echo ran >&2", small_stack, "ran\n"},
	};
	for (const auto &c : no_reader) {
		const Outcome r = launch({"shlaunch", c.line}, c.prepare);
		EXPECT_EQ(r.err, c.err) << c.line;
		EXPECT_EQ(r.code, 0) << c.line;
	}

	// The command reads the launcher's state: Z once it has ended (this test
	// reaps it only later), S while it waits.
	const std::string state = "read -r pid name state rest </proc/$LAUNCHER/stat; ";
	// Stopped is T, or t under a tracer.
	const std::string shell_stopped = "while read -r pid name state rest </proc/$$/stat && [ $state != T ] && [ $state != t ]; do sleep 0.01; done; ";
	const struct {
		std::string line, out, err;
	} waits[] = {
		// A job that the command leaves running is not waited for, nor ended.
		{"(while " + state + "[ $state != Z ]; do sleep 0.01; done; echo ran on >&2) >/dev/null &", "", "ran on\n"},
		// A child the launcher inherited (a shell started a job, then exec'd
		// the launcher) is not the command's: the launcher waits on.
		{"sleep 0.2; " + state + "echo $state", "S\n", ""},
		// A stopped command has not ended: the launcher waits through the stop.
		{"(" + shell_stopped + "sleep 0.2; " + state + "echo $state; kill -CONT $$) & kill -STOP $$; wait", "S\n", ""},
	};
	for (const auto &c : waits) {
		const Outcome r = launch({"shlaunch", c.line.c_str()}, [] {
			setenv("LAUNCHER", std::to_string(getpid()).c_str(), 1);
			if (fork() == 0)
				_exit(0);
		});
		EXPECT_EQ(r.out, c.line + "\n" + c.out);
		EXPECT_EQ(r.err, c.err) << c.line;
		EXPECT_EQ(r.code, 0) << c.line;
	}
}

TEST(Launcher, ReportsFailuresToCreateStartOrWait)
{
	// An unprivileged user held to zero processes cannot fork (needs root).
	// It may not reach the build (under /root, say), so it runs a copy from
	// a folder that every user may read.
	char folder[] = "/tmp/shlaunch_test.XXXXXX";
	const std::string copy = mkdtemp(folder) ? std::string(folder) + "/shlaunch" : "";
	if (!copy.empty() && chmod(folder, 0755) == 0) {
		const std::string image = drain(open(launcher, O_RDONLY | O_CLOEXEC));
		const int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
		if (write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size()) || fchmod(fd, 0755))
			unlink(copy.c_str()); // not there: the case is skipped
		close(fd);
	}
	const Outcome nofork = launch({}, [&] {
		const rlimit none = {0, 0};
		if (setgroups(0, nullptr) || setgid(65534) || setuid(65534) || setrlimit(RLIMIT_NPROC, &none))
			_exit(cannot_prepare);
		execl(copy.c_str(), "shlaunch", "echo hi", nullptr);
		_exit(cannot_prepare);
	});
	unlink(copy.c_str());
	rmdir(folder);
	// In a private mount namespace /bin/sh can be made something not
	// executable (needs root, and a kernel that allows the namespace).
	const Outcome noexec = launch({"shlaunch", "echo hi"}, [] {
		if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
		    mount("/dev/null", "/bin/sh", nullptr, MS_BIND, nullptr))
			_exit(cannot_prepare);
	});
	// strace can make the launcher's wait fail while the child runs on, where
	// it is installed and may trace (not under another tracer, say).
	const Outcome nowait = launch({}, [] {
		if (system("strace -qq -o /dev/null true >/dev/null 2>&1") != 0)
			_exit(cannot_prepare);
		execlp("strace", "strace", "-qq", "-o", "/dev/null", "-e", "inject=wait4:error=ECHILD",
		       launcher, "echo hi", nullptr);
		_exit(cannot_prepare);
	});

	const struct {
		const char *fault;
		const Outcome &r;
		std::string out;
		int code;
	} cases[] = {
		{"fork fails", nofork, "", 255},
		{"execv fails", noexec, "echo hi\nerror\n", 0},
		{"waitpid fails", nowait, "echo hi\nhi\n", 255},
	};
	std::string skipped;
	for (const auto &c : cases) {
		if (c.r.code == cannot_prepare) {
			skipped += std::string(skipped.empty() ? "cannot set up here: " : ", ") + c.fault;
			continue;
		}
		EXPECT_EQ(c.r.out, c.out) << c.fault;
		EXPECT_EQ(c.r.err, "") << c.fault;
		EXPECT_EQ(c.r.code, c.code) << c.fault;
	}
	if (!skipped.empty())
		GTEST_SKIP() << skipped;
}

TEST(Launcher, CtrlCAtATerminalEndsCommandAndLauncher)
{
	const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
	if (terminal < 0 || grantpt(terminal) || unlockpt(terminal))
		GTEST_SKIP() << "no pseudo-terminal here";
	const std::string slave = ptsname(terminal);
	// The shell becomes sleep: an interrupt that came between the two could
	// otherwise end the shell before it started sleep, which would never see it.
	const char *line = "printf 'rea%s\\n' dy; exec sleep 600";

	const pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		setsid();
		const int tty = open(slave.c_str(), O_RDWR); // becomes the controlling terminal
		dup2(tty, 0);
		dup2(tty, 1);
		dup2(tty, 2);
		close(tty);
		close(terminal);
		ignore({SIGINT}); // as a job runner might leave it
		execl(launcher, "shlaunch", line, nullptr);
		_exit(126);
	}
	// Reads the terminal until `until` shows, or with none until it reads
	// EIO: no process holds it open any more. Gives up after 20 s of silence.
	std::string seen;
	const auto read_until = [&](const char *until) {
		char buf[4096];
		pollfd readable = {terminal, POLLIN, 0};
		while (poll(&readable, 1, 20000) == 1) {
			const ssize_t n = read(terminal, buf, sizeof buf);
			if (n <= 0)
				return until == nullptr;
			seen.append(buf, static_cast<size_t>(n));
			if (until != nullptr && seen.find(until) != std::string::npos)
				return true;
		}
		return false;
	};
	EXPECT_TRUE(read_until("ready\r\n"));
	EXPECT_EQ(seen, std::string(line) + "\r\nready\r\n");
	EXPECT_EQ(write(terminal, "\003", 1), 1);
	// The shell, now sleep, has ended too, not only the launcher.
	EXPECT_TRUE(read_until(nullptr)) << "the command still holds the terminal";
	kill(-pid, SIGKILL); // whatever is left of the session, pass or fail
	int status;
	EXPECT_EQ(waitpid(pid, &status, 0), pid);
	EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
	close(terminal);
}

} // namespace
