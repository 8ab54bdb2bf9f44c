// Times nanoflann on the same fixed-radius queries as kesra, for the benchmark scripts.
//
//   nanoflann_peer --points P.npy --queries Q.npy --radius R [--k 16] [--threads T]
//                  [--repeats N] [--build-repeats N] [--mode all|find|count|radius] [--sorted 0|1]
//   nanoflann_peer --mode threads [--threads T] [--repeats N]
//
// Both files hold float32 (N, 3) C-order arrays without NaN rows. It builds the tree
// --build-repeats times on T threads (leaf size 16), then, --repeats times each on T
// threads: finds the k nearest neighbours strictly within R of every query ("find"),
// counts the neighbours strictly within R ("count"; "all" does both), or lists every
// neighbour strictly within R as flat offsets/indices/distances arrays ("radius").
// "threads" only starts and joins T threads, the floor of any call that does so.
// Prints one JSON object with median seconds and totals.
//
// Build: g++ -O3 -std=c++20 -ffp-contract=off -pthread -I DIR nanoflann_peer.cpp
// with DIR holding nanoflann.hpp 1.12 or later.

#include <nanoflann.hpp>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kChunk = 256;
constexpr std::size_t kLeafSize = 16;

struct Cloud {
    std::vector<float> xyz;
    std::size_t size() const { return xyz.size() / 3; }

    // nanoflann's dataset interface.
    std::size_t kdtree_get_point_count() const { return size(); }
    float kdtree_get_pt(std::uint32_t i, std::size_t dim) const { return xyz[3 * std::size_t{i} + dim]; }
    template <class Box>
    bool kdtree_get_bbox(Box&) const { return false; }
};

using Tree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<float, Cloud>, Cloud, 3>;
using Match = nanoflann::ResultItem<std::uint32_t, float>;

// Only what numpy writes for a float32 (N, 3) C-order array; anything else is refused.
Cloud read_npy(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    char magic[8];
    in.read(magic, 8);
    if (!in || std::memcmp(magic, "\x93NUMPY", 6) != 0) throw std::runtime_error(path + ": not a .npy file");
    std::uint32_t header_len = 0;
    if (magic[6] == 1) {
        unsigned char b[2];
        in.read(reinterpret_cast<char*>(b), 2);
        header_len = b[0] | (b[1] << 8);
    } else {
        unsigned char b[4];
        in.read(reinterpret_cast<char*>(b), 4);
        header_len = b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t{b[3]} << 24);
    }
    std::string header(header_len, '\0');
    in.read(header.data(), header_len);
    if (!in) throw std::runtime_error(path + ": truncated header");

    auto fail = [&](const char* why) { return std::runtime_error(path + ": " + why + " (header " + header + ")"); };
    if (header.find("'descr': '<f4'") == std::string::npos) throw fail("dtype must be little-endian float32");
    if (header.find("'fortran_order': False") == std::string::npos) throw fail("must be C order");
    auto shape = header.find("'shape': (");
    if (shape == std::string::npos) throw fail("no shape");
    char* end = nullptr;
    const std::size_t n = std::strtoull(header.c_str() + shape + 10, &end, 10);
    while (*end == ' ' || *end == ',') ++end;
    if (std::strtoull(end, &end, 10) != 3 || *end != ')') throw fail("shape must be (N, 3)");

    Cloud cloud;
    cloud.xyz.resize(3 * n);
    in.read(reinterpret_cast<char*>(cloud.xyz.data()), static_cast<std::streamsize>(cloud.xyz.size() * sizeof(float)));
    if (!in) throw std::runtime_error(path + ": truncated data");
    return cloud;
}

// Counts points strictly within the radius without storing them.
class RadiusCount {
public:
    using DistanceType = float;
    using IndexType = std::uint32_t;

    explicit RadiusCount(float r2) : r2_(r2) {}
    std::size_t size() const { return count_; }
    bool full() const { return true; }
    float worstDist() const { return r2_; }
    bool addPoint(float d, std::uint32_t) {
        count_ += d < r2_;
        return true;
    }
    void sort() {}

private:
    float r2_;
    std::size_t count_ = 0;
};

// Runs body(begin, end) over query chunks, taken dynamically by `threads` threads.
template <class Body>
void parallel_chunks(std::size_t n, unsigned threads, Body body) {
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t begin; (begin = next.fetch_add(kChunk, std::memory_order_relaxed)) < n;)
            body(begin, std::min(begin + kChunk, n));
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (auto& th : pool) th.join();
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

std::string json_number(double x) {
    if (!std::isfinite(x)) return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", x);
    return buf;
}

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "nanoflann_peer: %s\nusage: nanoflann_peer --points P.npy --queries Q.npy --radius R "
                 "[--k 16] [--threads T] [--repeats N] [--build-repeats N] [--mode all|find|count|radius] "
                 "[--sorted 0|1]\n"
                 "       nanoflann_peer --mode threads [--threads T] [--repeats N]\n",
                 why);
    std::exit(2);
}


// k nearest strictly within the radius per query, unsquared and -1 padded like the
// Python libraries' output, which is allocated inside the timing as theirs is.
// Returns the number of neighbours found.
std::uint64_t find_knn(const Tree& tree, const Cloud& queries, std::size_t k, float r2, unsigned threads) {
    const std::size_t n = queries.size();
    std::unique_ptr<std::int32_t[]> indices(new std::int32_t[n * k]);
    std::unique_ptr<float[]> distances(new float[n * k]);
    std::unique_ptr<std::uint32_t[]> found(new std::uint32_t[n]);
    parallel_chunks(n, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<std::uint32_t> idx(k);
        std::vector<float> d2(k);
        for (std::size_t q = begin; q < end; ++q) {
            // The radius-bounded result set: the bound is r^2 until k points are held.
            const std::size_t m = tree.rknnSearch(&queries.xyz[3 * q], k, idx.data(), d2.data(), r2);
            for (std::size_t j = 0; j < m; ++j) {
                indices[q * k + j] = static_cast<std::int32_t>(idx[j]);
                distances[q * k + j] = std::sqrt(d2[j]);
            }
            std::fill(&indices[q * k + m], &indices[q * k + k], -1);
            std::fill(&distances[q * k + m], &distances[q * k + k], -1.0f);
            found[q] = static_cast<std::uint32_t>(m);
        }
    });
    return std::accumulate(found.get(), found.get() + n, std::uint64_t{0});
}

std::uint64_t count_within(const Tree& tree, const Cloud& queries, float r2, unsigned threads) {
    const std::size_t n = queries.size();
    std::unique_ptr<std::uint32_t[]> counts(new std::uint32_t[n]);
    parallel_chunks(n, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t q = begin; q < end; ++q) {
            RadiusCount result(r2);
            tree.findNeighbors(result, &queries.xyz[3 * q]);
            counts[q] = static_cast<std::uint32_t>(result.size());
        }
    });
    return std::accumulate(counts.get(), counts.get() + n, std::uint64_t{0});
}

// Every neighbour strictly within the radius, flattened as a user of radiusSearch
// would: each chunk of queries collects its rows (sorted by distance or not), then the row offsets are
// summed up and the chunks copied into int64 offsets, int32 indices and float32
// distances. Returns the number of neighbours.
std::uint64_t radius_csr(const Tree& tree, const Cloud& queries, float r2, unsigned threads, bool sorted) {
    const std::size_t n = queries.size(), chunks = (n + kChunk - 1) / kChunk;
    std::vector<std::vector<Match>> found(chunks);
    std::unique_ptr<std::int64_t[]> offsets(new std::int64_t[n + 1]);
    const nanoflann::SearchParameters search(0.0f, sorted);
    parallel_chunks(n, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<Match>& out = found[begin / kChunk];
        std::vector<Match> row;
        for (std::size_t q = begin; q < end; ++q) {
            offsets[q + 1] = static_cast<std::int64_t>(tree.radiusSearch(&queries.xyz[3 * q], r2, row, search));
            out.insert(out.end(), row.begin(), row.end());
        }
    });
    offsets[0] = 0;
    std::partial_sum(offsets.get(), offsets.get() + n + 1, offsets.get());
    const std::size_t total = static_cast<std::size_t>(offsets[n]);
    std::unique_ptr<std::int32_t[]> indices(new std::int32_t[total]);
    std::unique_ptr<float[]> distances(new float[total]);
    parallel_chunks(chunks, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::size_t at = static_cast<std::size_t>(offsets[c * kChunk]);
            for (const Match& m : found[c]) {
                indices[at] = static_cast<std::int32_t>(m.first);
                distances[at++] = std::sqrt(m.second);
            }
        }
    });
    return total;
}

// Starts `threads` threads that do nothing and joins them.
void spawn_join(unsigned threads) {
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back([] {});
    for (auto& th : pool) th.join();
}

// Median seconds of `repeats` calls of fn().
template <class Fn>
double timed_median(long repeats, Fn fn) {
    std::vector<double> seconds;
    for (long rep = 0; rep < repeats; ++rep) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        seconds.push_back(seconds_since(start));
    }
    return median(seconds);
}

}  // namespace

int main(int argc, char** argv) {
    static_assert(std::endian::native == std::endian::little, "the .npy reader assumes little-endian");
    std::string points_path, queries_path, mode = "all";
    double radius = -1;
    long k = 16, threads = 1, repeats = 1, build_repeats = 0, sorted = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) usage(("missing value for " + arg).c_str());
        const char* value = argv[++i];
        if (arg == "--points") points_path = value;
        else if (arg == "--queries") queries_path = value;
        else if (arg == "--radius") radius = std::strtod(value, nullptr);
        else if (arg == "--k") k = std::strtol(value, nullptr, 10);
        else if (arg == "--threads") threads = std::strtol(value, nullptr, 10);
        else if (arg == "--repeats") repeats = std::strtol(value, nullptr, 10);
        else if (arg == "--build-repeats") build_repeats = std::strtol(value, nullptr, 10);
        else if (arg == "--mode") mode = value;
        else if (arg == "--sorted") sorted = std::strtol(value, nullptr, 10);
        else usage(("unknown option " + arg).c_str());
    }
    if (threads < 1 || repeats < 1) usage("need threads >= 1, repeats >= 1");
    const unsigned t = static_cast<unsigned>(threads);
    if (mode == "threads") {
        const double s = timed_median(repeats, [&] { spawn_join(t); });
        std::printf("{\"threads\": %u, \"repeats\": %ld, \"spawn_join_s\": %s}\n", t, repeats,
                    json_number(s).c_str());
        return 0;
    }
    if (mode != "all" && mode != "find" && mode != "count" && mode != "radius")
        usage("mode must be all, find, count, radius or threads");
    if (points_path.empty() || queries_path.empty()) usage("--points and --queries are required");
    if (!(radius > 0) || k < 1 || build_repeats < 0) usage("need radius > 0, k >= 1, build repeats >= 0");

    Cloud points, queries;
    try {
        points = read_npy(points_path);
        queries = read_npy(queries_path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nanoflann_peer: %s\n", e.what());
        return 1;
    }
    if (points.size() >= UINT32_MAX) usage("too many points for 32-bit indices");

    // Squared in float, like the distances nanoflann compares it with.
    const float r = static_cast<float>(radius);
    const float r2 = r * r;
    const std::size_t kk = static_cast<std::size_t>(k);

    // Built on T threads: nanoflann hands subtrees to up to T threads.
    using nanoflann::KDTreeSingleIndexAdaptorFlags;
    const nanoflann::KDTreeSingleIndexAdaptorParams params(kLeafSize, KDTreeSingleIndexAdaptorFlags::None, t);
    // The previous tree is freed outside the timing, as the Python side deletes a
    // structure before building the next.
    std::unique_ptr<Tree> tree;
    std::vector<double> builds;
    for (long rep = 0; rep < (build_repeats ? build_repeats : repeats); ++rep) {
        tree.reset();
        const auto start = std::chrono::steady_clock::now();
        tree = std::make_unique<Tree>(3, points, params);
        builds.push_back(seconds_since(start));
    }
    const double build_s = median(builds);

    double find_s = NAN, count_s = NAN, radius_s = NAN;
    std::uint64_t found_total = 0, count_total = 0, radius_total = 0;
    if (mode == "all" || mode == "find")
        find_s = timed_median(repeats, [&] { found_total = find_knn(*tree, queries, kk, r2, t); });
    if (mode == "all" || mode == "count")
        count_s = timed_median(repeats, [&] { count_total = count_within(*tree, queries, r2, t); });
    if (mode == "radius")
        radius_s = timed_median(repeats, [&] { radius_total = radius_csr(*tree, queries, r2, t, sorted != 0); });

    auto total = [](double seconds, std::uint64_t value) {
        return std::isfinite(seconds) ? std::to_string(value) : std::string("null");
    };
    std::printf(
        "{\"version\": \"%s\", \"points\": %zu, \"queries\": %zu, \"radius\": %s, \"k\": %zu, "
        "\"threads\": %u, \"repeats\": %ld, \"leaf_size\": %zu, \"build_s\": %s, \"find_s\": %s, "
        "\"count_s\": %s, \"radius_s\": %s, \"found_total\": %s, \"count_total\": %s, "
        "\"radius_total\": %s}\n",
        NANOFLANN_VERSION_STRING, points.size(), queries.size(), json_number(r).c_str(), kk, t, repeats, kLeafSize,
        json_number(build_s).c_str(), json_number(find_s).c_str(), json_number(count_s).c_str(),
        json_number(radius_s).c_str(), total(find_s, found_total).c_str(), total(count_s, count_total).c_str(),
        total(radius_s, radius_total).c_str());
    return 0;
}
