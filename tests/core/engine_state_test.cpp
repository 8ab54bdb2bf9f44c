#include "state/engine_state.hpp"

#include "cloud.hpp"
#include "engine/engine.hpp"
#include "query/query_driver.hpp"
#include "state/byte_reader.hpp"

using kesra::Engine;
using kesra::StateError;
using kesra::WorkerPool;
using namespace kesra_test;

namespace {

Engine build(const std::vector<Point>& pts, const char* method, std::size_t threads = 2) {
    Engine e;
    WorkerPool::run(threads, [&](WorkerPool& pool) { e = kesra::build_engine(pool, view_of(pts), {0.5f, method, 1, 3, 4}); });
    return e;
}

std::vector<float> answers(const Engine& e, const std::vector<Point>& queries) {
    std::vector<float> out;
    WorkerPool::run(1, [&](WorkerPool& pool) {
        const auto rows = kesra::find_neighbours(pool, e.backend, view_of(queries), 4, e.max_dist, 0.0f, false);
        for (std::size_t i = 0; i < rows.indices.size(); ++i) out.push_back(static_cast<float>(rows.indices.data()[i]));
        const auto counts = kesra::count_neighbours(pool, e.backend, view_of(queries), e.max_dist, 1.0f, false);
        out.insert(out.end(), counts.data(), counts.data() + counts.size());
    });
    return out;
}

}  // namespace

// Restored engines answer alike and encode to the same size; every shorter prefix of a
// state fails to decode (under the sanitizers this also proves no read runs past the end).
TEST(EngineState, RoundTripAndEveryTruncation) {
    const auto pts = lattice_cloud(60, 1, 5);
    const auto queries = random_cloud(40, -1.5f, 1.5f, 6);
    for (const char* method : {"voxel", "kdtree", "hybrid", "graph"}) {
        const Engine original = build(pts, method);
        const auto state = kesra::encode_engine(original);
        ASSERT_EQ(state.size(), kesra::encoded_size(original));
        const Engine restored = kesra::decode_engine(state.data(), state.size());
        EXPECT_EQ(restored.method, method);
        EXPECT_EQ(kesra::encode_engine(restored).size(), state.size());
        EXPECT_EQ(answers(restored, queries), answers(original, queries)) << method;
        for (std::size_t cut = 0; cut < state.size(); ++cut) {
            // A heap copy of exactly `cut` bytes, so a read past it is caught.
            const std::vector<std::uint8_t> prefix(state.begin(), state.begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_THROW(kesra::decode_engine(prefix.data(), prefix.size()), StateError) << method << " " << cut;
        }
    }
}

// Builds do not depend on the pool: 1, 2 and 3 threads give the same state, byte for
// byte, on a cloud large enough for every parallel step, with many ties within cells.
TEST(EngineState, BuildsDoNotDependOnThePoolSize) {
    const auto pts = lattice_and_loose(LARGE / 2, 5, 7);
    for (const char* method : {"voxel", "kdtree", "hybrid", "graph"}) {
        const auto state = kesra::encode_engine(build(pts, method, 1));
        for (const std::size_t threads : {2, 3})
            EXPECT_TRUE(kesra::encode_engine(build(pts, method, threads)) == state) << method << " " << threads;
    }
}

TEST(EngineState, Utf8Errors) {
    const auto err = [](const std::string& s) {
        return kesra::utf8_error(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(err("voxel \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "");
    EXPECT_EQ(err("\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(err("ab\xf4\x90\x80\x80"), "invalid utf-8 sequence of 1 bytes from index 2");
    EXPECT_EQ(err("\xe0\xa0"), "incomplete utf-8 byte sequence from index 0");
    EXPECT_EQ(err("\xe0\xa0\x41"), "invalid utf-8 sequence of 2 bytes from index 0");
    EXPECT_EQ(err("\xf5\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
}
