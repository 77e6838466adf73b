// A call that fails midway leaves the index exactly as it was, the level generator included.
//
// Global operator new is replaced so that, when armed, the N-th allocation throws std::bad_alloc.
// For each call below and each N from 1 until the call goes through, a child process is forked from
// one prepared index, so that every child starts from the same state, generator included. The child
// makes the call fail at allocation N and saves the index; then it inserts a fixed sequence of nodes
// and saves again. Both files must equal, byte for byte, those of a child that never made the call.
// The insertions draw their levels from the generator, and with M = 2 half of them get a level above
// 0, so a generator left advanced by the failed call shows in the levels of the second file; any
// other part of the state not put back shows in either file. Each call starts from four states:
// every per-node array full (the next node reallocates them all) or not, and the next level drawn
// 0 or above (a new node's upper lists are an allocation of their own).
//
// The vector store allocates with malloc (core/huge_pages.h), so its growth is not made to fail here;
// every other container of the engine allocates through operator new.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "core/hyperbolic_index.h"

// --------------------------------------------------------------------------------------------------
// Allocation failure on demand

namespace {

// Atomic because a concurrent insertion allocates from several threads.
std::atomic<bool> g_armed{false};
std::atomic<uint64_t> g_countdown{0};  // allocations left until the one that fails, while armed
std::atomic<bool> g_fired{false};

bool fails_now() {
    if (!g_armed.load() || g_countdown.fetch_sub(1) != 1) return false;
    g_armed = false;
    g_fired = true;
    return true;
}

void* allocate(std::size_t n) {
    if (fails_now()) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

void* allocate_aligned(std::size_t n, std::align_val_t alignment) {
    if (fails_now()) throw std::bad_alloc();
    void* p = nullptr;
    const std::size_t a = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
    if (::posix_memalign(&p, a, n ? n : 1) == 0) return p;
    throw std::bad_alloc();
}

// Makes the n-th allocation from now fail (n >= 1).
void arm(uint64_t n) {
    g_countdown = n;
    g_fired = false;
    g_armed = true;
}

// Stops injecting; returns whether the armed allocation was reached.
bool disarm() {
    g_armed = false;
    return g_fired;
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_aligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_aligned(n, a); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    try {
        return allocate_aligned(n, a);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    try {
        return allocate_aligned(n, a);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

// --------------------------------------------------------------------------------------------------
// The engine's entry points this test drives, all in one place.

using Index = vek::HyperbolicIndex;

void add_linked(Index& index, const float* v, uint64_t mask, int32_t ef) { index.add_linked(v, mask, ef); }
void add_flat(Index& index, const float* v, uint64_t mask) { index.add_unlinked(v, mask); }
void save(const Index& index, const std::string& path) { index.save(path); }
void load(Index& index, const std::string& path) { index.load(path); }

// --------------------------------------------------------------------------------------------------
// Data

constexpr int32_t kDim = 6;
constexpr int32_t kM = 2;  // level multiplier 1/ln 2: P(level >= 1) = 1/2
constexpr int32_t kEf = 16;
constexpr int kFollowing = 40;  // insertions after the failed call

struct Rows {
    std::vector<float> values;
    explicit Rows(size_t n) : values(n * kDim) {
        std::mt19937 rng(20240613);
        std::normal_distribution<float> normal(0.0f, 0.15f);  // well inside the unit ball
        for (float& x : values) x = normal(rng);
    }
    const float* operator[](size_t i) const { return values.data() + i * kDim; }
};

const Rows& rows() {
    static const Rows r(1000);
    return r;
}

// Node i of every index below: mostly linked, some flat, masks using high bits too.
void insert_node(Index& index, size_t i) {
    const uint64_t mask = (uint64_t{1} << (i % 64)) | i;
    if (i % 5 == 3)
        add_flat(index, rows()[i], mask);
    else
        add_linked(index, rows()[i], mask, kEf);
}

// The fixed sequence every child runs after the call, starting at row `first`.
void follow(Index& index, size_t first) {
    for (size_t i = first; i < first + kFollowing; ++i) insert_node(index, i);
}

// --------------------------------------------------------------------------------------------------
// Files

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Layout {
    uint64_t n = 0;
    uint64_t graph = 0;  // offset of the graph block
};

Layout layout(const std::string& data) {
    Layout l;
    if (data.size() < 28) return l;
    int32_t dimension;
    std::memcpy(&dimension, data.data(), 4);
    std::memcpy(&l.n, data.data() + 20, 8);
    l.graph = 28 + l.n * (4ull * static_cast<uint64_t>(dimension) + 4) + 8 * l.n;
    return l;
}

// Which part of an index file holds byte `pos`.
std::string part_of(const std::string& data, size_t pos) {
    const Layout l = layout(data);
    if (pos < 28) return "the header";
    if (pos < l.graph - 8 * l.n) return "the vector block";
    if (pos < l.graph) return "the mask block";
    return "the graph block (levels and neighbour lists)";
}

// The level of the last node of an index file, or -1 if the file holds no node.
int32_t last_level(const std::string& data) {
    const Layout l = layout(data);
    uint64_t pos = l.graph;
    int32_t level = -1;
    for (uint64_t i = 0; i < l.n && pos + 4 <= data.size(); ++i) {
        std::memcpy(&level, data.data() + pos, 4);
        pos += 4;
        for (int32_t layer = 0; layer <= level && pos + 8 <= data.size(); ++layer) {
            uint64_t count;
            std::memcpy(&count, data.data() + pos, 8);
            pos += 8 + 4 * count;
        }
    }
    return level;
}

// Empty when the files are identical, else where they first differ.
std::string difference(const std::string& got_path, const std::string& want_path) {
    const std::string got = read_file(got_path), want = read_file(want_path);
    if (got == want) return "";
    size_t pos = 0;
    while (pos < got.size() && pos < want.size() && got[pos] == want[pos]) ++pos;
    return std::to_string(got.size()) + " bytes against " + std::to_string(want.size()) + ", first difference at byte " +
           std::to_string(pos) + ", in " + part_of(want, pos);
}

// --------------------------------------------------------------------------------------------------
// Children

enum Status : int {
    kRestored = 0,   // the call failed and the index was as before
    kDiffers = 1,    // the index was not as it should be (the child says how)
    kCompleted = 2,  // the call went through without reaching the armed allocation: all were tried
    kAbsorbed = 3,   // the call went through although an allocation failed (a nothrow fallback)
    kExtraNode = 4,  // the call failed and left a node more than there was
};

// Runs `body` in a child process forked from the current state; returns its exit status, or -1 if
// it died. A child that hangs is killed, and one that writes wild amounts of data is stopped.
int in_child(const std::function<int()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        ::alarm(60);
        const rlim_t max_file = rlim_t{64} << 20;
        const struct rlimit limit = {max_file, max_file};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);
        int status = kDiffers;
        try {
            status = body();
        } catch (const std::exception& e) {
            std::printf("  child: unexpected exception: %s\n", e.what());
        }
        std::fflush(stdout);
        ::_exit(status);
    }
    int wstatus = 0;
    if (::waitpid(pid, &wstatus, 0) != pid) return -1;
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    std::printf("  child killed by signal %d\n", WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0);
    return -1;
}

struct Call {
    const char* name;
    std::function<void(Index&)> run;
    bool deterministic = true;  // false: two runs that go through may link differently
};

// The linked insertion every check makes: the row after the last node.
void insert_next(Index& index) { add_linked(index, rows()[index.size()], 7, kEf); }

// The level the next linked insertion into `index` will draw.
int32_t next_level(Index& index, const std::string& dir) {
    const std::string probe = dir + "/probe.bin";
    const int level = in_child([&] {
        insert_next(index);
        save(index, probe);
        return std::min<int>(last_level(read_file(probe)), 100);
    });
    std::remove(probe.c_str());
    return level;
}

struct Outcome {
    uint64_t allocations = 0;  // made by the call when nothing fails
    int failed = 0;            // allocations whose failure left the index otherwise than it was
};

// Every allocation of `call` on `index`, each made to fail in turn.
Outcome check_call(Index& index, const Call& call, const std::string& dir) {
    Outcome out;
    const size_t nodes = index.size();
    const size_t first = nodes + 1;  // the rows after the one an insertion takes
    const std::string before = dir + "/before.bin", after = dir + "/after.bin", done = dir + "/done.bin";
    // The files of the index with no call at all, then after the sequence; and after the call and the sequence.
    if (in_child([&] {
            save(index, before);
            follow(index, first);
            save(index, after);
            return int{kRestored};
        }) != kRestored ||
        in_child([&] {
            call.run(index);
            follow(index, first);
            save(index, done);
            return int{kRestored};
        }) != kRestored) {
        std::printf("  the runs without a failure did not complete\n");
        out.failed = 1;
        return out;
    }

    uint64_t n = 1;
    for (;; ++n) {
        const std::string got = dir + "/got.bin";
        const int status = in_child([&] {
            arm(n);
            bool failed = false;
            try {
                call.run(index);
            } catch (...) {
                failed = true;
            }
            const bool fired = disarm();
            if (!failed) {
                if (!call.deterministic) return int{fired ? kAbsorbed : kCompleted};
                follow(index, first);
                save(index, got);
                const std::string diff = difference(got, done);
                if (!diff.empty()) {
                    std::printf("  the call absorbed a failed allocation, then the index differed: %s\n",
                                diff.c_str());
                    return int{kDiffers};
                }
                return int{fired ? kAbsorbed : kCompleted};
            }
            // A half-appended node would make the save read past the neighbour lists.
            if (index.size() != nodes) {
                std::printf("  right after the failed call: %zu nodes instead of %zu\n", index.size(), nodes);
                return int{index.size() == nodes + 1 ? kExtraNode : kDiffers};
            }
            save(index, got);
            std::string diff = difference(got, before);
            if (!diff.empty()) {
                std::printf("  right after the failed call: %s\n", diff.c_str());
                return int{kDiffers};
            }
            follow(index, first);
            save(index, got);
            diff = difference(got, after);
            if (!diff.empty()) {
                std::printf("  after %d more insertions: %s\n", kFollowing, diff.c_str());
                return int{kDiffers};
            }
            return int{kRestored};
        });
        std::remove(got.c_str());
        if (status == kCompleted) break;
        if (status != kRestored && status != kAbsorbed) {
            std::printf("  ^ when allocation %llu of %s failed\n", static_cast<unsigned long long>(n), call.name);
            ++out.failed;
        }
        if (n > 1000000) {
            std::printf("  still allocating after a million allocations\n");
            ++out.failed;
            return out;
        }
    }
    for (const std::string& p : {before, after, done}) std::remove(p.c_str());
    out.allocations = n - 1;
    return out;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // in order with the children's reports
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                          "/vek-native-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = pattern;

    // The file a load replaces the index with: other nodes, another M and metric, the same dimension.
    const std::string other = dir + "/other.bin";
    {
        Index index(kDim, 0.5f, 5, "cosine");
        for (size_t i = 500; i < 560; ++i) insert_node(index, i);
        save(index, other);
    }
    const Call calls[] = {
        {"add_linked", insert_next},
        {"add_unlinked", [](Index& index) { add_flat(index, rows()[index.size()], 7); }},
        {"load", [&other](Index& index) { load(index, other); }},
        {"add_linked_batch on two threads",
         [](Index& index) {
             constexpr size_t kRows = 12;
             const std::vector<uint64_t> masks(kRows, 7);
             index.add_linked_batch(rows()[index.size()], masks.data(), nullptr, kRows, kEf, 2);
         },
         false},
    };

    int failures = 0;
    for (const vek::MetricKind metric : {vek::Euclidean, vek::PoincareBall})
    for (const bool full : {true, false}) {
        for (const bool upper : {false, true}) {
            Index index(kDim, metric, kM);
            size_t i = 0;
            for (; i < (full ? 64 : 37); ++i) insert_node(index, i);
            const std::string scratch = dir + "/scratch.bin";
            int32_t level;
            while ((level = next_level(index, dir)) < 0 || (level > 0) != upper) {
                if (full) {  // one draw of the generator, without changing the nodes or capacities
                    save(index, scratch);
                    insert_next(index);
                    load(index, scratch);
                } else {
                    insert_node(index, i++);
                }
            }
            const std::string state = index.metric_name() + ", " + std::to_string(index.size()) + " nodes, " +
                                      (full ? "every array full" : "room in the arrays") +
                                      ", next linked node at level " + std::to_string(level);
            for (const Call& call : calls) {
                const Outcome o = check_call(index, call, dir);
                const std::string what = std::string(call.name) + " on " + state + ", " +
                                         std::to_string(o.allocations) + " allocations";
                if (o.failed > 0) {
                    std::printf("FAIL   %s: %d failed ones left the index otherwise than it was\n", what.c_str(),
                                o.failed);
                    ++failures;
                } else {
                    std::printf("ok     %s: each failure left the index as it was\n", what.c_str());
                }
            }
        }
    }

    std::filesystem::remove_all(dir);
    if (failures) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
