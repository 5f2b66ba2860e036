// Reading a 2000 x 100 matrix text file, against numpy.loadtxt(dtype=float32)
// on the same file in the same run. numpy is timed by a child of Debian's
// python3 (python3-numpy) that loads the file repeatedly and reports the mean
// time of one load, given to Google Benchmark as manual time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "foundation/doublematrix.h"

namespace {

const std::string& matrix_file() {
    static const std::string path = [] {
        std::string p = "/tmp/doublematrix_bench_" + std::to_string(getpid()) + ".txt";
        FILE* f = std::fopen(p.c_str(), "w");
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
        for (int i = 0; f && i < 2000; ++i)
            for (int j = 0; j < 100; ++j) std::fprintf(f, "%.6g%c", value(rng), j + 1 < 100 ? ' ' : '\n');
        if (f) std::fclose(f);
        return p;
    }();
    return path;
}

void BM_MatrixReadText(benchmark::State& state) {
    const std::string& path = matrix_file();
    for (auto _ : state) {
        doublematrix* a = QLTP_doublematrix_new_fromfile(path.c_str());
        if (!a) {
            state.SkipWithError("read failed");
            return;
        }
        benchmark::DoNotOptimize(a->values);
        QLTP_doublematrix_delete(a);
    }
}
BENCHMARK(BM_MatrixReadText)->Unit(benchmark::kMillisecond);

void BM_NumpyLoadtxtFloat32(benchmark::State& state) {
    const std::string& path = matrix_file();
    std::string command = "/usr/bin/python3 -c 'import sys, time, numpy\n"
                          "numpy.loadtxt(sys.argv[1], dtype=numpy.float32)\n"
                          "t = time.perf_counter()\n"
                          "for _ in range(10): numpy.loadtxt(sys.argv[1], dtype=numpy.float32)\n"
                          "print((time.perf_counter() - t) / 10)' " +
                          path;
    for (auto _ : state) {
        FILE* p = popen(command.c_str(), "r");
        double seconds = -1;
        bool read = p && std::fscanf(p, "%lf", &seconds) == 1;
        bool exited = p && pclose(p) == 0;
        if (!read || !exited || seconds <= 0) {
            state.SkipWithError("python3 with numpy is needed");
            return;
        }
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(BM_NumpyLoadtxtFloat32)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
