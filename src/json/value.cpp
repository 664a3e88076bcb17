// The JSON value model: objects kept in key byte order, number invariants, equality.
#include "json/value.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

namespace kevro::json {

namespace detail {

namespace {
// No thread_local here: the library is loaded into interpreters with dlopen, and the leak
// checker of the sanitizer builds cannot walk such a library's dynamic thread-local storage.
//
// One parse at a time has an arena in scope: a scope holds `scope_lock` for its whole life and
// names its thread in `scope_thread`, so that a block asked for on any other thread (which
// does not hold the lock) never comes from it.
std::recursive_mutex scope_lock;
std::atomic<std::thread::id> scope_thread{};
Arena* current_arena = nullptr;  // guarded by scope_lock

// A block larger than this share of a chunk gets a chunk of its own.
constexpr std::size_t kLargestShare = 4;
constexpr std::size_t kLargestChunk = std::size_t{64} << 10;

/// Freed chunks of the largest size, kept for the next parse: a large document let go at once
/// would otherwise hand the allocator enough memory to give back to the system, and the next
/// parse would fault all its pages in afresh. The list runs through the chunks' first block
/// pointer; chunks may be let go on any thread, so it has a lock of its own.
class SpareChunks {
  public:
    static constexpr std::size_t kMost = 32;  // 2 MiB
    SpareChunks() = default;
    SpareChunks(const SpareChunks&) = delete;
    SpareChunks& operator=(const SpareChunks&) = delete;
    ~SpareChunks();
    bool keep(Chunk* chunk) noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        if (gone_ || count_ == kMost) return false;
        *reinterpret_cast<Chunk**>(chunk + 1) = head_;
        head_ = chunk;
        ++count_;
        return true;
    }
    Chunk* take() noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        Chunk* chunk = head_;
        if (chunk != nullptr) {
            head_ = *reinterpret_cast<Chunk**>(chunk + 1);
            --count_;
        }
        return chunk;
    }

  private:
    std::mutex lock_;
    Chunk* head_ = nullptr;
    std::size_t count_ = 0;
    // Set once the list is being destroyed at exit: blocks let go later (values held by other
    // static objects) free their chunks at once.
    bool gone_ = false;
};
SpareChunks spare_chunks;

SpareChunks::~SpareChunks() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        gone_ = true;
    }
    while (Chunk* chunk = take()) ::operator delete(chunk);
}

/// A chunk of exactly one block of `n` bytes, its head and the block's pointer to it first.
void* own_chunk(std::size_t n) {
    std::size_t size = sizeof(Chunk) + sizeof(Chunk*) + n;
    auto* chunk = static_cast<Chunk*>(::operator new(size));
    chunk->refs = 1;
    chunk->size = size;
    auto* block = reinterpret_cast<Chunk**>(chunk + 1);
    *block = chunk;
    return block + 1;
}
}  // namespace

void free_chunk(Chunk* chunk) noexcept {
    if (chunk->size == kLargestChunk && spare_chunks.keep(chunk)) return;
    ::operator delete(chunk);
}

void* Arena::refill(std::size_t n) {
    // A large block gets a chunk of its own, so that it wastes no room in the current one.
    if (kLargestShare * (n + sizeof(Chunk*)) > next_size_) return own_chunk(n);
    std::size_t size = next_size_;
    Chunk* chunk = size == kLargestChunk ? spare_chunks.take() : nullptr;
    if (chunk == nullptr) chunk = static_cast<Chunk*>(::operator new(size));
    drop();
    chunk->refs = 1;
    chunk->size = size;
    chunk_ = chunk;
    next_ = reinterpret_cast<char*>(chunk + 1);
    end_ = reinterpret_cast<char*>(chunk) + size;
    next_size_ = std::min(2 * size, kLargestChunk);
    return allocate(n);
}

void Arena::drop() noexcept {
    if (chunk_ != nullptr && --chunk_->refs == 0) free_chunk(chunk_);
    chunk_ = nullptr;
    next_ = end_ = nullptr;
}

ArenaScope::ArenaScope(Arena& arena) noexcept {
    scope_lock.lock();
    previous_ = current_arena;
    current_arena = &arena;
    scope_thread.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

ArenaScope::~ArenaScope() {
    current_arena = previous_;
    if (previous_ == nullptr) scope_thread.store(std::thread::id(), std::memory_order_relaxed);
    scope_lock.unlock();
}

void* allocate_block(std::size_t n) {
    // The id is this thread's only while this thread holds a scope.
    if (scope_thread.load(std::memory_order_relaxed) != std::this_thread::get_id())
        return own_chunk(n);
    return current_arena->allocate(n);
}

}  // namespace detail

namespace {

bool key_less(const Member& a, const Member& b) noexcept { return a.key < b.key; }

}  // namespace

void Object::insert(std::string_view key, Value value) {
    // Members assembled in key order (the common case for built records) append at the end.
    if (members_.empty() || members_.back().key < key) {
        members_.push_back(Member{String(key), std::move(value)});
        return;
    }
    auto it =
        std::lower_bound(members_.begin(), members_.end(), key,
                         [](const Member& m, std::string_view k) noexcept { return m.key < k; });
    if (it != members_.end() && it->key == key) {
        it->value = std::move(value);
        return;
    }
    members_.insert(it, Member{String(key), std::move(value)});
}

const Value* Object::find(std::string_view key) const {
    auto it =
        std::lower_bound(members_.begin(), members_.end(), key,
                         [](const Member& m, std::string_view k) noexcept { return m.key < k; });
    if (it != members_.end() && it->key == key) return &it->value;
    return nullptr;
}

Object Object::from_members(Members members) {
    Object result;
    // Step 1: members that already arrive in strictly ascending key order need no work.
    bool ordered = true;
    for (std::size_t i = 1; i < members.size(); ++i) {
        if (!(members[i - 1].key < members[i].key)) {
            ordered = false;
            break;
        }
    }
    if (ordered) {
        result.members_ = std::move(members);
        return result;
    }
    // Step 2: a stable sort keeps members with equal keys in their given order ...
    std::stable_sort(members.begin(), members.end(), key_less);
    // Step 3: ... so that the last of each run of equal keys is the one that stays.
    std::size_t out = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;
        if (out != i) members[out] = std::move(members[i]);
        ++out;
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(out), members.end());
    result.members_ = std::move(members);
    return result;
}

bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

bool operator==(const Value& a, const Value& b) {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind()) {
        case Value::Kind::null:
            return true;
        case Value::Kind::boolean:
            return a.as_bool() == b.as_bool();
        case Value::Kind::uinteger:
            return a.as_u64() == b.as_u64();
        case Value::Kind::sinteger:
            return a.as_i64() == b.as_i64();
        case Value::Kind::real:
            // Bit patterns, so that -0.0 and 0.0 differ.
            return a.bits_ == b.bits_;
        case Value::Kind::string:
            return a.as_string() == b.as_string();
        case Value::Kind::array:
            return a.as_array() == b.as_array();
        case Value::Kind::object:
            return a.as_object() == b.as_object();
    }
    return false;
}

}  // namespace kevro::json
