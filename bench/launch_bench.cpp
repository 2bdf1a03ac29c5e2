// Wall time per launch of a shell running `true`, four ways, interleaved:
// every round starts each way once, in a fresh random order, so a drift of
// the machine's speed hits all of them alike. Prints medians and ratios.
//
// usage: launch_bench SHLAUNCH FLOOR_LAUNCHER [ROUNDS]
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <vector>

extern char **environ;

namespace {

struct Way {
	const char *name;
	std::vector<const char *> argv;
	std::vector<double> micros;
};

double now_micros()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// One launch, its output to /dev/null; returns its wall time, or -1.
double time_launch(const Way &way, const posix_spawn_file_actions_t &to_null)
{
	const double start = now_micros();
	pid_t pid;
	if (posix_spawn(&pid, way.argv[0], &to_null, nullptr, const_cast<char *const *>(way.argv.data()), environ) != 0)
		return -1;
	int status;
	if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
		return -1;
	return now_micros() - start;
}

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	const size_t n = values.size();
	return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
	const long rounds = argc > 3 ? atol(argv[3]) : 3000;
	if (argc < 3 || rounds < 1) {
		fprintf(stderr, "usage: launch_bench SHLAUNCH FLOOR_LAUNCHER [ROUNDS]\n");
		return 2;
	}
	const long warmup = std::min(rounds, 100L);

	std::vector<Way> ways = {
		{"/bin/sh -c true", {"/bin/sh", "-c", "true", nullptr}, {}},
		{"shlaunch true", {argv[1], "true", nullptr}, {}},
		{"env --default-signal=... /bin/sh -c true",
		 {"/usr/bin/env", "--default-signal=PIPE,INT,HUP,QUIT,CHLD", "/bin/sh", "-c", "true", nullptr}, {}},
		{"floor true", {argv[2], "true", nullptr}, {}},
	};

	posix_spawn_file_actions_t to_null;
	posix_spawn_file_actions_init(&to_null);
	posix_spawn_file_actions_addopen(&to_null, 1, "/dev/null", O_WRONLY, 0);

	std::vector<size_t> order(ways.size());
	for (size_t i = 0; i < order.size(); ++i)
		order[i] = i;
	std::mt19937 shuffle_seed(12345);
	for (long round = 0; round < warmup + rounds; ++round) {
		std::shuffle(order.begin(), order.end(), shuffle_seed);
		for (const size_t i : order) {
			const double micros = time_launch(ways[i], to_null);
			if (micros < 0) {
				fprintf(stderr, "launch_bench: %s did not run and exit 0\n", ways[i].name);
				return 1;
			}
			if (round >= warmup)
				ways[i].micros.push_back(micros);
		}
	}

	printf("%ld interleaved rounds, median wall time per launch\n", rounds);
	for (const Way &way : ways)
		printf("  %-44s %8.1f us\n", way.name, median(way.micros));
	const double shlaunch = median(ways[1].micros), env = median(ways[2].micros), floor = median(ways[3].micros);
	printf("  %-44s %8.3f\n", "shlaunch / floor", shlaunch / floor);
	printf("  %-44s %8.3f\n", "shlaunch / env", shlaunch / env);
	return 0;
}
