#include "index/graph/knn_graph.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include "base/memory_limit.hpp"

namespace kesra {

namespace {

// N x degree adjacency entries, refused before anything is allocated when the count
// overflows or the table cannot fit in memory.
std::size_t adjacency_slots(std::size_t n, std::uint64_t degree) {
    if (n != 0 && degree > SIZE_MAX / n) throw std::bad_alloc();
    const std::size_t slots = n * static_cast<std::size_t>(degree);
    if (slots > std::vector<std::uint32_t>().max_size()) throw std::bad_alloc();
    check_fits_in_memory(slots, sizeof(std::uint32_t));
    return slots;
}

// The heap key of a squared distance is its IEEE total-order key; the mapping is its own
// inverse, so the distance is recovered from the key alone.
float distance_of_key(std::int32_t key) {
    return std::bit_cast<float>(NeighbourList::total_order_key(std::bit_cast<float>(key)));
}

bool nearer_last(const GraphSearchScratch::Reached& a, const GraphSearchScratch::Reached& b) {
    return a.key > b.key;
}

}  // namespace

void GraphSearchScratch::start_walk(std::size_t num_points) {
    if (visited.size() != num_points) {
        visited.assign(num_points, 0);
        stamp = 0;
    } else if (stamp == 0xFFFFFFFFu) {
        std::fill(visited.begin(), visited.end(), 0u);
        stamp = 0;
    }
    ++stamp;
    queue.clear();
}

void GraphSearchScratch::push(float d2, std::uint32_t position) {
    queue.push_back({NeighbourList::total_order_key(d2), position});
    std::push_heap(queue.begin(), queue.end(), nearer_last);
}

bool GraphSearchScratch::pop(float& d2, std::uint32_t& position) {
    if (queue.empty()) return false;
    std::pop_heap(queue.begin(), queue.end(), nearer_last);
    d2 = distance_of_key(queue.back().key);
    position = queue.back().position;
    queue.pop_back();
    return true;
}

KnnGraph KnnGraph::build(WorkerPool& pool, const PointsView& search_points, float max_dist,
                         std::uint32_t cells_per_radius, std::uint64_t subtree_threshold,
                         std::uint64_t graph_degree) {
    KnnGraph graph;
    graph.degree = std::max<std::uint64_t>(graph_degree, 1);
    // Fail before the entry index is built when the table cannot be had anyway.
    adjacency_slots(search_points.rows, graph.degree);
    graph.entry_index = HybridGrid::build(pool, search_points, max_dist, cells_per_radius, subtree_threshold);

    const HybridGrid& index = graph.entry_index;
    const std::size_t n = index.grid.points.size();
    const std::uint64_t degree = graph.degree;
    graph.adjacency.assign(adjacency_slots(n, degree), NO_EDGE);
    std::uint32_t* const adjacency = graph.adjacency.data();

    // One list per thread; the point itself is normally among the candidates, at 0.
    pool.for_each_block(
        n, GRAPH_BUILD_CHUNK, [&] { return NeighbourList(static_cast<std::size_t>(degree) + 1, max_dist, 0.0f, n); },
        [&](NeighbourList& list, std::size_t, std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p < end; ++p) {
                list.reset();
                index.knn_search(index.grid.points[p], list);
                list.sort_ascending();
                std::uint32_t* const row = adjacency + p * degree;
                std::uint64_t written = 0;
                for (std::size_t i = 0; i < list.size() && written < degree; ++i) {
                    const std::uint32_t m = list.data()[i].position;
                    if (m != p) row[written++] = m;
                }
            }
        });
    return graph;
}

std::size_t KnnGraph::memory_bytes() const {
    return entry_index.memory_bytes() + adjacency.capacity() * sizeof(std::uint32_t);
}

bool KnnGraph::find_entry(const Point& q, float t0, Scratch& scratch, Candidate& entry) const {
    const float s = std::sqrt(t0);
    if (!scratch.entry_list || std::bit_cast<std::uint32_t>(scratch.entry_radius) != std::bit_cast<std::uint32_t>(s)) {
        scratch.entry_list.emplace(1, s, 0.0f, 1);
        scratch.entry_radius = s;
    } else {
        scratch.entry_list->reset();
    }
    entry_index.knn_search(q, *scratch.entry_list);
    if (scratch.entry_list->size() == 0) return false;
    entry = scratch.entry_list->data()[0];
    return true;
}

void KnnGraph::count_search(const Point& q, CountAccumulator& acc, Scratch* scratch_of_task) const {
    check(scratch_of_task != nullptr, "graph search without its scratch");
    Scratch& scratch = *scratch_of_task;
    if (entry_index.grid.points.empty()) return;
    const float r2 = acc.max_dist_sq();
    Candidate entry;
    if (!find_entry(q, r2, scratch, entry)) return;
    walk(
        q, entry, scratch, [r2] { return r2; },
        [&](float d2, std::uint32_t) {
            if (!(d2 >= r2)) acc.add(d2);
        },
        [] { return false; });
}

}  // namespace kesra
