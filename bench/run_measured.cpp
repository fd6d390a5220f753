// Runs a program and prints its wall time, CPU time and peak RSS on one line
// to the file named first:
//
//     run_measured OUT_FILE PROGRAM [ARGS...]
//
// "WALL_S CPU_S PEAK_RSS_KIB EXIT_CODE". The benchmark starts programs
// through this small process because a child forked from a large one (the
// Python interpreter) inherits that process's peak RSS into its own figure.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: run_measured OUT_FILE PROGRAM [ARGS...]\n");
        return 2;
    }
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0)
        return 2;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0)
        return 2;
    clock_gettime(CLOCK_MONOTONIC, &end);
    double wall = static_cast<double>(end.tv_sec - start.tv_sec) +
                  static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr)
        return 2;
    std::fprintf(out, "%.6f %.6f %ld %d\n", wall, cpu, usage.ru_maxrss, code);
    std::fclose(out);
    return 0;
}
