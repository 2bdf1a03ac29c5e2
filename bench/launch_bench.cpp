// Wall time per launch of a shell running `true`, several ways, interleaved, and the memory each
// launcher holds while it waits on a command: bench/README.md says how and why.
// usage: launch_bench SHLAUNCH FLOOR_LAUNCHER [ROUNDS [LAUNCHER...]]
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

extern char **environ;

namespace {

struct Way {
	std::string name;
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

// Starts argv, lets it settle into waiting on its command, and prints the
// Rss, Pss and Private_Dirty lines of its /proc/PID/smaps_rollup on one line.
bool print_waiting_memory(const char *name, const std::vector<const char *> &argv,
                          const posix_spawn_file_actions_t &to_null)
{
	pid_t pid;
	if (posix_spawn(&pid, argv[0], &to_null, nullptr, const_cast<char *const *>(argv.data()), environ) != 0)
		return false;
	const timespec settle = {0, 300 * 1000 * 1000};
	nanosleep(&settle, nullptr);
	char path[64], line[256];
	snprintf(path, sizeof path, "/proc/%d/smaps_rollup", static_cast<int>(pid));
	FILE *const rollup = fopen(path, "re");
	unsigned long rss = 0, pss = 0, dirty = 0, kib;
	while (rollup != nullptr && fgets(line, sizeof line, rollup) != nullptr) {
		if (sscanf(line, "Rss: %lu", &kib) == 1)
			rss = kib;
		else if (sscanf(line, "Pss: %lu", &kib) == 1)
			pss = kib;
		else if (sscanf(line, "Private_Dirty: %lu", &kib) == 1)
			dirty = kib;
	}
	if (rollup != nullptr)
		fclose(rollup);
	int status;
	waitpid(pid, &status, 0);
	if (rss == 0)
		return false;
	printf("  %-44s %8lu %8lu %8lu\n", name, rss, pss, dirty);
	return true;
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
		fprintf(stderr, "usage: launch_bench SHLAUNCH FLOOR_LAUNCHER [ROUNDS [LAUNCHER...]]\n");
		return 2;
	}
	const long warmup = std::min(rounds, 100L);

	std::vector<Way> ways = {
		{"/bin/sh -c true", {"/bin/sh", "-c", "true", nullptr}, {}},
		{"env --default-signal=... /bin/sh -c true",
		 {"/usr/bin/env", "--default-signal=PIPE,INT,HUP,QUIT,CHLD", "/bin/sh", "-c", "true", nullptr}, {}},
		{"floor true", {argv[2], "true", nullptr}, {}},
	};
	const size_t env_way = 1, floor_way = 2, first_launcher = 3;
	ways.push_back({"shlaunch true", {argv[1], "true", nullptr}, {}});
	for (int i = 4; i < argc; ++i) {
		const char *const slash = strrchr(argv[i], '/');
		ways.push_back({std::string(slash ? slash + 1 : argv[i]) + " true", {argv[i], "true", nullptr}, {}});
	}

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
				fprintf(stderr, "launch_bench: %s did not run and exit 0\n", ways[i].name.c_str());
				return 1;
			}
			if (round >= warmup)
				ways[i].micros.push_back(micros);
		}
	}

	printf("%ld interleaved rounds, median wall time per launch\n", rounds);
	std::vector<double> medians;
	for (const Way &way : ways) {
		medians.push_back(median(way.micros));
		printf("  %-44s %8.1f us\n", way.name.c_str(), medians.back());
	}
	printf("%-46s %8s %8s\n", "ratio", "/ floor", "/ env");
	for (size_t i = first_launcher; i < ways.size(); ++i)
		printf("  %-44s %8.3f %8.3f\n", ways[i].name.c_str(), medians[i] / medians[floor_way], medians[i] / medians[env_way]);

	// The shell would exec a lone sleep in place of itself: "; true" keeps it waiting.
	printf("%-46s %8s %8s %8s\n", "KiB held while waiting on a command", "Rss", "Pss", "Pr.Dirty");
	for (size_t i = 0; i < ways.size(); ++i) {
		if (i == env_way) // env is gone once it has exec'd the shell
			continue;
		std::vector<const char *> waiting = ways[i].argv;
		waiting[waiting.size() - 2] = "sleep 1; true";
		const std::string name = ways[i].name.substr(0, ways[i].name.size() - strlen("true")) + "'sleep 1; true'";
		if (!print_waiting_memory(name.c_str(), waiting, to_null)) {
			fprintf(stderr, "launch_bench: %s could not be measured while waiting\n", name.c_str());
			return 1;
		}
	}
	return 0;
}
