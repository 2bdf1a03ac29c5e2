// End to end: every case runs the built launcher and looks at what its user
// would see (standard output, standard error, exit status) or at what the
// command itself sees of its process.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
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
	// Both at once: a command that fills one pipe must not wait on a case reading the other.
	Outcome r{-1, "", ""};
	std::string *const text[] = {&r.out, &r.err};
	pollfd pipes[] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	for (char buf[65536]; (pipes[0].fd >= 0 || pipes[1].fd >= 0) && poll(pipes, 2, -1) > 0;)
		for (int i = 0; i < 2; ++i) {
			const ssize_t n = pipes[i].revents != 0 ? read(pipes[i].fd, buf, sizeof buf) : 1;
			if (n <= 0)
				close(std::exchange(pipes[i].fd, -1)); // poll passes over a negative one
			else if (pipes[i].revents != 0)
				text[i]->append(buf, static_cast<size_t>(n));
		}
	int status;
	waitpid(pid, &status, 0);
	kill(-pid, SIGKILL);
	r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	return r;
}

// The fault could not be set up here: says why, for the case to skip with.
[[noreturn]] void cannot_set_up(const char *cause)
{
	fputs(cause, stderr);
	_exit(cannot_prepare);
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
		cannot_set_up("no pipe");
}

// A log that no other process can name: in /tmp, or where /tmp cannot make
// one so (an overlay, read-only), unlinked at once from the working folder.
int scratch_file()
{
	int fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
	char name[] = "shlaunch_test_log.XXXXXX";
	if (fd < 0 && (fd = mkostemp(name, O_CLOEXEC)) >= 0)
		unlink(name);
	return fd;
}

// Standard output on a log at its file-size limit, where a write raises
// SIGXFSZ, here at its default.
void full_log()
{
	const rlimit none = {0, 0};
	const int log = scratch_file();
	if (log < 0 || dup2(log, 1) < 0 || setrlimit(RLIMIT_FSIZE, &none) || signal(SIGXFSZ, SIG_DFL) == SIG_ERR)
		cannot_set_up("no file for a log, in /tmp or the working folder");
}

// A sandbox's filter, in raw BPF: call nr fails with EPERM where the low word
// of its argument arg, 4 bytes in on a big-endian machine, passes test against
// value. BPF_JGE against 0 refuses every call.
void refuse(unsigned nr, unsigned arg, unsigned value, unsigned short test = BPF_JEQ)
{
	const unsigned low_word = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0;
	sock_filter code[] = {
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 3),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(offsetof(seccomp_data, args)) + 8 * arg + low_word),
		BPF_JUMP(BPF_JMP | test | BPF_K, value, 0, 1),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
	const sock_fprog filter = {sizeof code / sizeof code[0], code};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter))
		cannot_set_up("no seccomp filter here");
}

// A sandbox that blocks every signal but sig, and refuses to change its disposition.
void sandbox_refusing(int sig)
{
	sigset_t all_but_sig;
	sigfillset(&all_but_sig);
	sigdelset(&all_but_sig, sig);
	sigprocmask(SIG_SETMASK, &all_but_sig, nullptr);
	refuse(__NR_rt_sigaction, 0, static_cast<unsigned>(sig));
}

// Execs the launcher under strace, which makes a call fail as the kernel or a
// sandbox might. The tracer runs as a grandchild (-D): the launcher keeps this
// process, its parent, and its parent-death signal, which a fork would clear.
[[noreturn]] void exec_under_strace(const char *fault, const char *line)
{
	if (system("strace -D -f -qq -o /dev/null true >/dev/null 2>&1") != 0)
		cannot_set_up("strace is missing, or may not trace here (under another tracer, say)");
	execlp("strace", "strace", "-D", "-f", "-qq", "-o", "/dev/null", "-e", fault, launcher, line, nullptr);
	cannot_set_up("strace did not start");
}

// Refuses the child's mapping for the echo of line, known by its size: the
// line, its newline and BUFSIZ, musl's or glibc's. s390x passes mmap its
// arguments behind a pointer: there strace fails the child's first mapping,
// which is the echo's in the static launcher.
void refuse_echo_mapping(const char *line)
{
#if defined(__s390x__)
	exec_under_strace("inject=mmap:error=ENOMEM:when=1", line);
#else
#ifdef __NR_mmap2 // which 32-bit machines map with
	const unsigned map = __NR_mmap2;
#else
	const unsigned map = __NR_mmap;
#endif
	for (const unsigned bufsiz : {1024u, 8192u})
		refuse(map, 1, static_cast<unsigned>(strlen(line)) + 1 + bufsiz);
#endif
}

// Expects what a case's user sees, or skips where its fault could not be set up.
void expect(const Outcome &r, const std::string &out, const std::string &err, int code)
{
	if (r.code == cannot_prepare)
		GTEST_SKIP() << r.err;
	EXPECT_EQ(r.out, out);
	EXPECT_EQ(r.err, err);
	EXPECT_EQ(r.code, code);
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

	const int file = scratch_file();
	if (file < 0)
		GTEST_SKIP() << "no file for a log, in /tmp or the working folder";
	const Outcome r = launch({"shlaunch", "echo after"}, [&] { dup2(file, 1); });
	EXPECT_EQ(r.code, 0);
	lseek(file, 0, SEEK_SET);
	EXPECT_EQ(drain(file), "echo after\nafter\n");

	// Launchers sharing a log must not tear each other's echo: line and
	// newline go in one write, which a pipe keeps whole up to PIPE_BUF and an
	// O_APPEND file always. Each write is one record on a packet socket, one
	// read from a packet-mode pipe: the first must be the whole echo. Where the
	// child's mapping is refused, it comes in pieces, and the command runs.
	const std::string unmapped = "echo ran >&2; : " + std::string(100000, 'x');
	for (const std::string &one_write : {"exit 0\n" + std::string(93, 'x'), "exit 0 " + std::string(100000, 'x'), unmapped}) {
		int records[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, records), 0);
		const Outcome got = launch({"shlaunch", one_write.c_str()}, [&] {
			dup2(records[1], 1);
			if (one_write == unmapped)
				refuse_echo_mapping(unmapped.c_str());
		});
		std::string first(2 * one_write.size(), '\0');
		first.resize(static_cast<size_t>(std::max(recv(records[0], &first[0], first.size(), MSG_DONTWAIT), ssize_t{0})));
		if (one_write == unmapped)
			EXPECT_TRUE(got.err == "ran\n" && first != unmapped + "\n") << "the echo came whole, or the command did not run";
		else
			EXPECT_EQ(first, one_write + "\n") << "the echo of " << one_write.size() << " bytes came in more than one write";
		close(records[0]);
		close(records[1]);
	}
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
	const char *line = "echo \"$PROBE\"; pwd; umask; read -r in; echo \"$in\" >&5; "
	                   "exec /bin/grep -E '^Sig(Blk|Ign)' /proc/self/status";
	const Outcome r = launch(
		{"shlaunch", line},
		[] {
			ignore({SIGPIPE, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGTERM, SIGXFSZ});
			block(SIGUSR2);
			setenv("PROBE", "inherited", 1);
			setenv("PATH", "/nonexistent", 1); // the shell is /bin/sh, not sh on PATH
			dup2(1, 5);
			umask(027);
			if (chdir("/tmp") != 0)
				_exit(cannot_prepare);
		},
		"stdin\n");
	// What this test was itself started with passes on too, but for the five.
	const std::string runner = drain(open("/proc/self/status", O_RDONLY | O_CLOEXEC));
	const auto bit = [](int sig) { return 1ULL << (sig - 1); };
	const unsigned long long five = bit(SIGPIPE) | bit(SIGINT) | bit(SIGHUP) | bit(SIGQUIT) | bit(SIGCHLD);
	// As wide as the kernel prints them: 32 digits where it has 128 signals (MIPS).
	const int digits = static_cast<int>(strcspn(runner.c_str() + runner.find("SigBlk:\t") + 8, "\n"));
	char masks[128];
	snprintf(masks, sizeof masks, "SigBlk:\t%0*llx\nSigIgn:\t%0*llx\n", digits,
	         signal_mask(runner, "SigBlk:\t") | bit(SIGUSR2), digits,
	         (signal_mask(runner, "SigIgn:\t") | bit(SIGTERM) | bit(SIGXFSZ)) & ~five);
	EXPECT_EQ(r.out, std::string(line) + "\ninherited\n/tmp\n0027\nstdin\n" + masks);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.code, 0);
}

TEST(Launcher, DiesOfAnInterruptHangUpOrQuitSentToItAlone)
{
	// Ignored by its parent, they are at their defaults in the launcher too,
	// so that Ctrl-\ ends it as Ctrl-C does. The parent-death signal that the
	// launcher was given ends the shell with it.
	for (const int sig : {SIGINT, SIGHUP, SIGQUIT}) {
		const std::string line = "trap 'echo ended >&2; exit' TERM; kill -" + std::to_string(sig) + " $PPID; sleep 0.3; echo outlived >&2";
		const Outcome r = launch({"shlaunch", line.c_str()}, [] {
			const rlimit no_core = {0, 0};
			setrlimit(RLIMIT_CORE, &no_core);
			ignore({SIGINT, SIGHUP, SIGQUIT});
			prctl(PR_SET_PDEATHSIG, SIGTERM);
		});
		EXPECT_EQ(r.code, 128 + sig) << line;
		EXPECT_EQ(r.err, "ended\n") << line;
	}
}

// Reaps its children and those it adopts until none is left, saying which a
// signal ended; passes on a case that could not be set up.
[[noreturn]] void reap_all()
{
	int status, code = 0;
	while (wait(&status) > 0)
		if (WIFSIGNALED(status))
			fprintf(stderr, "killed by %d\n", WTERMSIG(status));
		else if (WEXITSTATUS(status) == cannot_prepare)
			code = cannot_prepare;
	_exit(code);
}

TEST(Launcher, ParentDeathSignalEndsOnlyItsOwnChildAndOnlyOnceTheLauncherHasGone)
{
	// Each case has a PID namespace of its own, whose first process is the
	// caller, or the reaper of a caller that is a child subreaper. The caller
	// sets SIGTERM as the launcher's parent-death signal, beside a sentinel in
	// its process group that lives while anything of the launcher's does.
	const char *line = "echo ran >&2";
	int lives[2];
	const auto outlive = [&] {
		char byte;
		close(lives[1]);
		_exit(static_cast<int>(read(lives[0], &byte, 1)));
	};
	const auto held = [=] { // strace holds each prctl 1 s; the launcher is killed at 1.5 s, before its child sets the signal
		const pid_t launching = getpid();
		if (fork() == 0) {
			usleep(1500000);
			_exit(kill(launching, SIGALRM));
		}
		exec_under_strace("inject=prctl:delay_enter=1000000", line);
	};
	const struct {
		bool subreaper;
		std::function<void()> start;
		const char *out, *err;
	} cases[] = {
		{false, [] {}, "echo ran >&2\n", "ran\n"},
		{false, held, "", "killed by 14\nkilled by 15\n"},
		{true, held, "", "killed by 14\nkilled by 15\n"},
		// A refused call, or a child in a namespace where the launcher is not seen, tells nothing.
		{false, [] { refuse(__NR_getpid, 0, 0, BPF_JGE); }, "echo ran >&2\n", "ran\n"},
		{false, [] { refuse(__NR_getppid, 0, 0, BPF_JGE); }, "echo ran >&2\n", "ran\n"},
		{false, [&] { unshare(CLONE_NEWPID) == 0 && fork() == 0 ? outlive() : void(); }, "echo ran >&2\n", "ran\n"},
	};
	for (const auto &c : cases)
		expect(launch({}, [&] {
			if (unshare(CLONE_NEWPID))
				cannot_set_up("needs root, for a PID namespace of its own");
			if (fork() != 0 || (c.subreaper && (fork() != 0 || prctl(PR_SET_CHILD_SUBREAPER, 1))) || pipe(lives))
				reap_all();
			if (fork() == 0)
				outlive(); // the sentinel
			if (fork() == 0) {
				prctl(PR_SET_PDEATHSIG, SIGTERM);
				c.start();
				execl(launcher, "shlaunch", line, nullptr);
				_exit(126);
			}
			close(lives[1]);
			reap_all();
		}), c.out, c.err, 0);
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
	// unblocks it to wait, even where a sandbox denies rt_sigtimedwait.
	const char *const ran_on = "echo ran >&2; /bin/true; echo ran on >&2";
	const struct {
		const char *line;
		std::function<void()> prepare;
		const char *err;
	} no_reader[] = {
		{"echo ran >&2", [] { close(1); }, "ran\n"},
		{"echo ran >&2; echo x; echo not reached >&2", dead_pipe, "ran\n"},
		{"echo ran >&2; echo x; echo not reached >&2", full_log, "ran\n"},
		{ran_on, [] { dead_pipe(); block(SIGPIPE); }, "ran\nran on\n"},
		{ran_on, [] { full_log(); block(SIGXFSZ); }, "ran\nran on\n"},
		{ran_on, [=] { dead_pipe(); block(SIGPIPE); exec_under_strace("inject=rt_sigtimedwait:error=ENOSYS", ran_on); },
		 "ran\nran on\n"},
	};
	for (const auto &c : no_reader) {
		SCOPED_TRACE(c.line);
		expect(launch({"shlaunch", c.line}, c.prepare), "", c.err, 0);
	}
	// Where a sandbox refuses either ignore: no echo, and the whole mask and
	// every disposition as under sh -c, from the five and SIGXFSZ at their defaults.
	for (const int sig : {SIGPIPE, SIGXFSZ}) {
		const char *line = "echo ran >&2; exec grep -E 'Sig(Blk|Ign)' /proc/self/status >&2";
		const auto prepare = [=] {
			for (const int at_default : {SIGPIPE, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGXFSZ})
				signal(at_default, SIG_DFL);
			sig == SIGPIPE ? dead_pipe() : full_log();
			sandbox_refusing(sig);
		};
		const Outcome sh = launch({}, [&] { prepare(); execl("/bin/sh", "/bin/sh", "-c", line, nullptr); });
		if (sh.code == cannot_prepare)
			GTEST_SKIP() << sh.err;
		EXPECT_EQ(sh.err.rfind("ran\nSigBlk:", 0), 0u) << sh.err;
		expect(launch({"shlaunch", line}, prepare), "", sh.err, 0);
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
		// A stopped command has not ended: the launcher waits through the stop, and after.
		{"(" + shell_stopped + "sleep 0.2; " + state + "echo $state; kill -CONT $$; sleep 0.2; " + state + "echo $state) & kill -STOP $$; wait",
		 "S\nS\n", ""},
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

TEST(Launcher, RunsALongLineUnderASmallStackWhereverShCDoes)
{
	// execve lets the arguments and the environment take 128 KiB together,
	// whatever the stack limit. The control: sh -c, the five signals at their
	// defaults, the same limit. Judged where the line leaves a page and 8 KiB,
	// by which execve lowers the stack at random, and so fails near the limit,
	// for the launcher's one execve more too.
	const size_t spare = static_cast<size_t>(sysconf(_SC_PAGESIZE)) + 8192;
	for (const rlim_t kib : {64u, 128u, 256u})
		for (const size_t length : {3u, 31000u, 60000u, 100000u, 131000u}) {
			if (length + spare > kib * 1024)
				continue;
			const std::string line = "echo ran >&2; : " + std::string(length, 'x');
			const std::function<void()> limit = [=] {
				const rlimit stack = {kib * 1024, kib * 1024};
				for (const int sig : {SIGPIPE, SIGINT, SIGHUP, SIGQUIT, SIGCHLD})
					signal(sig, SIG_DFL);
				if (setrlimit(RLIMIT_STACK, &stack))
					cannot_set_up("cannot lower the stack limit");
			};
			const Outcome sh = launch({}, [&] { limit(); execl("/bin/sh", "/bin/sh", "-c", line.c_str(), nullptr); });
			if (sh.code == cannot_prepare)
				GTEST_SKIP() << sh.err;
			if (sh.err == "ran\n") {
				EXPECT_EQ(launch({"shlaunch", line.c_str()}, limit).err, sh.err) << kib << " KiB, " << length << " bytes";
			}
		}
}

TEST(Launcher, Exits255WhenItCannotFork)
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
	const Outcome r = launch({}, [&] {
		if (fork() == 0) // a child it inherits, which a wait for any child would reap
			_exit(0);
		const rlimit none = {0, 0};
		if (setgroups(0, nullptr) || setgid(65534) || setuid(65534) || setrlimit(RLIMIT_NPROC, &none))
			cannot_set_up("needs root, to become a user who may start no process");
		execl(copy.c_str(), "shlaunch", "echo hi", nullptr);
		cannot_set_up("no copy of the launcher that every user may run, in /tmp");
	});
	unlink(copy.c_str());
	rmdir(folder);
	expect(r, "", "", 255);
}

TEST(Launcher, SaysErrorWhenTheShellCannotStart)
{
	// In a private mount namespace /bin/sh can be made something not
	// executable.
	const Outcome r = launch({"shlaunch", "echo hi"}, [] {
		if (unshare(CLONE_NEWNS))
			cannot_set_up("needs root, and a kernel that allows mount namespaces");
		if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
			cannot_set_up("/ is not a mount point here (a chroot, say)");
		if (mount("/dev/null", "/bin/sh", nullptr, MS_BIND, nullptr))
			cannot_set_up("cannot mount /dev/null over /bin/sh");
	});
	expect(r, "echo hi\nerror\n", "", 0);
}

TEST(Launcher, Exits255WhenTheWaitFails)
{
	// The wait fails while the child runs on.
	expect(launch({}, [] { exec_under_strace("inject=wait4:error=ECHILD", "echo hi"); }), "echo hi\nhi\n", "", 255);
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
