// libFuzzer target over the engine state decoder. A state the decoder accepts must be safe
// to query with every call (k nearest, counts, every neighbour, local shape; an
// inconsistent structure may only raise InternalError), must encode again, and its
// re-encoding must restore an engine that answers every call exactly as it does.
//
// `state_fuzz --write-seeds DIR` writes the states of small engines of every method.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "base/errors.hpp"
#include "query/all_neighbours.hpp"
#include "query/local_geometry.hpp"
#include "query/scale_geometry.hpp"
#include "query/query_driver.hpp"
#include "state/engine_state.hpp"

using namespace kesra;

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// Near the seeds' points, far away, NaN, and at the edge of the float range.
const float QUERIES[][3] = {{0.0f, 0.0f, 0.0f},     {0.11f, 0.12f, 0.1f}, {-0.38f, -0.37f, -0.39f},
                            {-0.4f, 0.3f, 0.7f},    {1e7f, -1e7f, 1e7f},  {NaN, 0.0f, 0.0f},
                            {3e38f, -3e38f, 3e38f}};

PointsView view_of(const float (*rows)[3], std::size_t n) {
    return {reinterpret_cast<const char*>(rows), n, 3, sizeof(float[3]), sizeof(float)};
}

// The bytes of every result the binding could return for QUERIES, or nothing when a query
// found the structure inconsistent.
std::vector<std::uint8_t> query_results(const Engine& engine) {
    std::vector<std::uint8_t> out;
    auto append = [&out](const void* data, std::size_t bytes) {
        out.insert(out.end(), static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + bytes);
    };
    const PointsView queries = view_of(QUERIES, std::size(QUERIES));
    try {
        // On this thread: a pool's threads end after the call returns, and the fuzzer's leak
        // check after each input would catch one still holding its share of the call.
        WorkerPool::run_here([&](WorkerPool& pool) {
            NeighbourResult knn = find_neighbours(pool, engine.backend, queries, 3, engine.max_dist, 0.0f, false);
            append(knn.indices.data(), knn.indices.size() * sizeof(std::int32_t));
            append(knn.distances.data(), knn.distances.size() * sizeof(float));
            for (const std::optional<float> weight : {std::optional<float>(), std::optional<float>(1.0f)}) {
                OutputBuffer<float> counts =
                    count_neighbours(pool, engine.backend, queries, engine.max_dist, weight, false);
                append(counts.data(), counts.size() * sizeof(float));
            }
            const OutputBuffer<std::int64_t> exact = neighbour_counts(pool, engine.backend, queries, engine.max_dist, false);
            append(exact.data(), exact.size() * sizeof(std::int64_t));
            for (const bool sort : {true, false}) {
                const AllNeighboursResult all =
                    find_all_neighbours(pool, engine.backend, queries, engine.max_dist, sort, false, nullptr);
                append(all.offsets.data(), all.offsets.size() * sizeof(std::int64_t));
                append(all.indices.data(), all.indices.size() * sizeof(std::int32_t));
                append(all.distances.data(), all.distances.size() * sizeof(float));
            }
            for (const bool all_within : {false, true}) {
                const LocalGeometryResult shape = local_geometry(pool, engine.backend, queries, 4, all_within,
                                                                 engine.max_dist, Point{0.0f, 0.0f, 1.0f}, false);
                append(shape.eigenvalues.data(), shape.eigenvalues.size() * sizeof(float));
                append(shape.normals.data(), shape.normals.size() * sizeof(float));
                append(shape.counts.data(), shape.counts.size() * sizeof(std::int64_t));
            }
            Scales scales[2];
            const float half = engine.max_dist * 0.5f;  // 0 for the least radius
            scales[0].radii = half > 0.0f ? std::vector<float>{half, engine.max_dist} : std::vector<float>{engine.max_dist};
            scales[1].ks = {2, 4};
            for (const Scales& each : scales) {
                const ScaleGeometryResult shape =
                    scale_geometry(pool, engine.backend, queries, each, engine.max_dist, std::nullopt, false);
                append(shape.eigenvalues.data(), shape.eigenvalues.size() * sizeof(float));
                append(shape.normals.data(), shape.normals.size() * sizeof(float));
                append(shape.counts.data(), shape.counts.size() * sizeof(std::int64_t));
            }
        });
    } catch (const InternalError&) {
        return {};
    }
    return out;
}

// 40 points: 24 packed into one cell (a hybrid subtree with inner nodes), 8 into another
// (a subtree of one leaf), the rest spread over [-1, 1)^3; points 4 and 9 repeat point 0.
std::vector<float> seed_cloud() {
    std::vector<float> xyz(40 * 3);
    std::uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 16777216.0f;  // [0, 1)
    };
    for (std::size_t i = 0; i < 40; ++i) {
        const std::size_t kind = i % 5;
        for (std::size_t d = 0; d < 3; ++d)
            xyz[3 * i + d] = kind == 4 ? 2.0f * next() - 1.0f : (kind == 2 ? -0.4f : 0.1f) + 0.04f * next();
    }
    std::memcpy(&xyz[3 * 4], &xyz[0], 3 * sizeof(float));
    std::memcpy(&xyz[3 * 9], &xyz[0], 3 * sizeof(float));
    return xyz;
}

void write_seeds(const std::filesystem::path& dir) {
    struct Shape {
        const char* method;
        std::uint32_t cells_per_radius;
        std::uint64_t subtree_threshold;
        std::uint64_t graph_degree;
    };
    const Shape shapes[] = {{"voxel", 1, 64, 16},  {"voxel", 2, 64, 16}, {"kdtree", 1, 64, 16}, {"hybrid", 1, 3, 16},
                            {"hybrid", 2, 3, 16},  {"graph", 1, 3, 0},   {"graph", 1, 3, 4},    {"graph", 2, 3, 4}};
    const std::vector<float> cloud = seed_cloud();
    std::filesystem::create_directories(dir);
    WorkerPool::run(1, [&](WorkerPool& pool) {
        for (const std::size_t n : {0, 1, 5, 40}) {
            const PointsView points{reinterpret_cast<const char*>(cloud.data()), n, 3, 3 * sizeof(float), sizeof(float)};
            for (const Shape& s : shapes) {
                const Engine engine = build_engine(
                    pool, points, {0.5f, s.method, s.cells_per_radius, s.subtree_threshold, s.graph_degree});
                const std::vector<std::uint8_t> state = encode_engine(engine);
                const std::string name = std::string(s.method) + "_n" + std::to_string(n) + "_m" +
                                         std::to_string(s.cells_per_radius) + "_t" +
                                         std::to_string(s.subtree_threshold) + "_d" + std::to_string(s.graph_degree);
                std::ofstream(dir / name, std::ios::binary)
                    .write(reinterpret_cast<const char*>(state.data()), static_cast<std::streamsize>(state.size()));
            }
        }
    });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    for (int i = 1; i + 1 < *argc; ++i) {
        if (std::strcmp((*argv)[i], "--write-seeds") == 0) {
            write_seeds((*argv)[i + 1]);
            std::exit(0);
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::optional<Engine> engine;
    try {
        engine.emplace(decode_engine(data, size));
    } catch (const InvalidArgument&) {  // a refused state, StateError included
        return 0;
    }
    const std::vector<std::uint8_t> results = query_results(*engine);

    // Re-encoding drops only duplicate cell lookup entries and trailing bytes, so it is
    // never longer than the input, and from then on it is stable.
    const std::vector<std::uint8_t> state = encode_engine(*engine);
    if (state.size() > size) __builtin_trap();
    const Engine restored = decode_engine(state.data(), state.size());
    if (encode_engine(restored).size() != state.size()) __builtin_trap();
    if (query_results(restored) != results) __builtin_trap();
    return 0;
}
