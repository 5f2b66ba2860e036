// Database file tools on large files, against `cat` copying the same
// database file in the same run: extracting a 50 MB object, and replacing
// an object in the middle of a 100 MB database. Bytes processed are the
// database file's size for every benchmark, so throughputs compare directly.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/tpdb.h"
#include "foundation/tpdb_tools.h"

namespace {

const std::string kDir = "/tmp/tpdb_tools_bench_" + std::to_string(getpid());

std::string path(const std::string& name) { return kDir + "_" + name; }

// Writes a database of `count` objects of `size` bytes each with the writer.
int64_t make_db(const std::string& file, int count, uint32_t size) {
    tpdb* db = QLTP_tpdb_new(nullptr);
    QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, "5", -1);
    QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, "0", -1);
    QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, "1", -1);
    for (int i = 0; i < count; ++i) {
        QLTP_fixedbuf* image = QLTP_fixedbuf_new(size);
        for (uint32_t k = 0; k < size; ++k) image->data[k] = static_cast<char>(k * 131 + i);
        QLTP_tpobj_serialisequeue(db, image, ("TPOBJ_CONFIG:OBJ" + std::to_string(i)).c_str());
    }
    QLTP_tpdb_write_serial(db, file.c_str());
    QLTP_tpdb_delete(db);
    FILE* f = std::fopen(file.c_str(), "rb");
    int64_t bytes = QLTP_filesize(f);
    std::fclose(f);
    return bytes;
}

struct Files {
    std::string small_db = path("50mb.tpdb");
    std::string big_db = path("100mb.tpdb");
    std::string object = path("object.bin");
    std::string out = path("out");
    int64_t small_size = 0, big_size = 0;
    Files() {
        small_size = make_db(small_db, 1, 50u << 20);
        big_size = make_db(big_db, 10, 10u << 20);
        std::vector<char> data(12u << 20, 'o');
        FILE* f = std::fopen(object.c_str(), "wb");
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    ~Files() {
        for (const auto* p : {&small_db, &big_db, &object, &out}) std::remove(p->c_str());
    }
};

Files& files() {
    static Files f;
    return f;
}

void cat(benchmark::State& state, const std::string& db, int64_t bytes) {
    std::string command = "cat '" + db + "' > '" + files().out + "'";
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("cat failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_Extract50MB(benchmark::State& state) {
    Files& f = files();
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (QLTP_tpdb_obj_extract(f.small_db.c_str(), "TPOBJ_CONFIG:OBJ0", f.out.c_str()) != 0) {
            state.SkipWithError("extract failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * f.small_size);
}

void BM_Cat50MB(benchmark::State& state) { cat(state, files().small_db, files().small_size); }

void BM_ReplaceIn100MB(benchmark::State& state) {
    Files& f = files();
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (QLTP_tpdb_obj_modify(f.object.c_str(), "TPOBJ_CONFIG:OBJ5", f.big_db.c_str(), f.out.c_str()) != 0) {
            state.SkipWithError("replace failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * f.big_size);
}

void BM_Cat100MB(benchmark::State& state) { cat(state, files().big_db, files().big_size); }

BENCHMARK(BM_Extract50MB)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Cat50MB)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplaceIn100MB)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Cat100MB)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
