// JsonValue: the in-memory JSON document (null, boolean, three number kinds, string, array,
// object with members in UTF-8 byte order of their keys). Pure C++, no Python.
#pragma once

#include <bit>
#include <compare>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>  // std::bad_variant_access
#include <vector>

namespace kevro::json {

namespace detail {

/// The head of a chunk of memory that holds blocks: how many of its blocks are alive, plus one
/// while an arena still carves blocks from it, and the chunk's size. Each block is preceded by a
/// pointer to the head of its chunk, so that it can be let go without knowing where it came from.
struct Chunk {
    std::size_t refs;
    std::size_t size;
};

/// Frees a chunk whose last block was let go.
void free_chunk(Chunk* chunk) noexcept;

/// Carves blocks for one parse from chunks of memory, each chunk freed when its last block is.
/// Values that came out of one parse may share a chunk: letting go of them on different threads
/// needs the same synchronisation as any other shared data.
class Arena {
  public:
    /// `first` is the size of the first chunk, which is allocated with the first block.
    explicit Arena(std::size_t first) noexcept : next_size_(first) {}
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() { drop(); }

    void* allocate(std::size_t n) {
        n = (n + 7) & ~std::size_t{7};
        if (static_cast<std::size_t>(end_ - next_) < n + sizeof(Chunk*)) return refill(n);
        auto* block = reinterpret_cast<Chunk**>(next_);
        *block = chunk_;
        ++chunk_->refs;
        next_ += n + sizeof(Chunk*);
        return block + 1;
    }

  private:
    /// A block of n bytes (a multiple of 8) when the current chunk has no room for it.
    void* refill(std::size_t n);
    void drop() noexcept;
    Chunk* chunk_ = nullptr;
    char* next_ = nullptr;
    char* end_ = nullptr;
    std::size_t next_size_;
};

/// While one lives, the blocks that this thread allocates come from `arena`. One thread at a
/// time holds a scope; a scope on another thread waits for it to end.
class ArenaScope {
  public:
    explicit ArenaScope(Arena& arena) noexcept;
    ArenaScope(const ArenaScope&) = delete;
    ArenaScope& operator=(const ArenaScope&) = delete;
    ~ArenaScope();

  private:
    Arena* previous_;
};

/// A block of `n` bytes, aligned to 8: from the arena of the parse this thread is running when
/// there is one, otherwise a chunk of its own.
void* allocate_block(std::size_t n);
inline void release_block(void* p) noexcept {
    Chunk* chunk = *(static_cast<Chunk**>(p) - 1);
    if (--chunk->refs == 0) free_chunk(chunk);
}

/// The allocator of arrays and objects: blocks, so that a parse can carve them from its arena.
template <typename T>
struct BlockAllocator {
    using value_type = T;
    using is_always_equal = std::true_type;
    BlockAllocator() noexcept = default;
    template <typename U>
    BlockAllocator(const BlockAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T) / 2) {
            throw std::bad_array_new_length();
        }
        return static_cast<T*>(allocate_block(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { release_block(p); }
    template <typename U>
    friend bool operator==(const BlockAllocator&, const BlockAllocator<U>&) noexcept {
        return true;
    }
};

}  // namespace detail

/// An immutable UTF-8 string: up to 23 bytes held inline (the unused ones zero), longer ones in
/// one block of their size. It compares by its bytes as unsigned char, which is UTF-8
/// byte order, and holds no pointer into itself, so that moving it is a plain copy of its bytes.
class String {
  public:
    String() noexcept : rep_{} {}
    String(std::string_view s) { assign(s.data(), s.size()); }
    String(const char* s) : String(std::string_view(s)) {}
    String(const std::string& s) : String(std::string_view(s)) {}
    /// The bytes of `s`, where the 24 bytes from s.data() on may all be read (they lie in one
    /// buffer that ends at or after `readable_end`): a short string is then copied as one
    /// block, which is quicker than copying exactly its bytes.
    String(std::string_view s, const char* readable_end) {
        std::size_t n = s.size();
        if (std::endian::native == std::endian::little && n <= kSmall &&
            readable_end - s.data() >= 24) {
            // n bytes of ones, then zeros, from a constant: no branch on the size.
            static constexpr unsigned char kOnesThenZeros[48] = {
                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            std::uint64_t words[3];
            std::uint64_t masks[3];
            std::memcpy(words, s.data(), sizeof words);
            std::memcpy(masks, kOnesThenZeros + 24 - n, sizeof masks);
            for (std::size_t i = 0; i < 3; ++i) words[i] &= masks[i];
            words[2] |= static_cast<std::uint64_t>(n) << 56;  // the size, in the tag byte
            std::memcpy(&rep_, words, sizeof words);
            return;
        }
        assign(s.data(), n);
    }
    String(const String& other) : String(other.view()) {}
    String(String&& other) noexcept : rep_(other.rep_) { other.rep_ = Rep{}; }
    String& operator=(const String& other) {
        if (this != &other) *this = String(other);
        return *this;
    }
    String& operator=(String&& other) noexcept {
        if (this != &other) {
            release();
            rep_ = other.rep_;
            other.rep_ = Rep{};
        }
        return *this;
    }
    ~String() { release(); }

    const char* data() const noexcept { return heap() ? rep_.large.data : rep_.small; }
    std::size_t size() const noexcept {
        return heap() ? rep_.large.size : static_cast<unsigned char>(rep_.small[kTag]);
    }
    bool empty() const noexcept { return size() == 0; }
    /// Held inline: then all 24 bytes from data() on may be read, those past the size zero but
    /// the last.
    bool is_inline() const noexcept { return !heap(); }
    std::string_view view() const noexcept { return {data(), size()}; }
    operator std::string_view() const noexcept { return view(); }
    /// The first eight bytes, padded with zero bytes, as a big-endian number: two strings whose
    /// prefixes differ compare as their prefixes do.
    std::uint64_t prefix() const noexcept {
        std::uint64_t x;
        std::memcpy(&x, data(), sizeof x);  // inline bytes past the size are zero
        if constexpr (std::endian::native == std::endian::little) x = __builtin_bswap64(x);
        return x;
    }

    // Another String, or any text, compares through its view.
    template <typename Text>
    requires std::convertible_to<const Text&, std::string_view>
    friend bool operator==(const String& a, const Text& b) noexcept {
        return a.view() == std::string_view(b);
    }
    template <typename Text>
    requires std::convertible_to<const Text&, std::string_view>
    friend std::strong_ordering operator<=>(const String& a, const Text& b) noexcept {
        return a.view() <=> std::string_view(b);
    }

  private:
    static constexpr std::size_t kSmall = 23;  // the most bytes held inline
    static constexpr std::size_t kTag = 23;    // the byte that holds the inline size
    static constexpr char kHeap = static_cast<char>(0xFF);

    bool heap() const noexcept { return rep_.small[kTag] == kHeap; }
    void assign(const char* s, std::size_t n) {
        if (n <= kSmall) {
            rep_ = Rep{};
            if (n != 0) std::memcpy(rep_.small, s, n);
            rep_.small[kTag] = static_cast<char>(n);
            return;
        }
        rep_.large.data = static_cast<char*>(detail::allocate_block(n));
        std::memcpy(rep_.large.data, s, n);
        rep_.large.size = n;
        rep_.small[kTag] = kHeap;
    }
    void release() noexcept {
        if (heap()) detail::release_block(rep_.large.data);
    }

    union Rep {
        struct {
            char* data;
            std::size_t size;
        } large;
        char small[24];
    } rep_;
};

class Value;
struct Member;
namespace detail {
struct Access;  // the parser's route to build values in place
}

using Array = std::vector<Value, detail::BlockAllocator<Value>>;
using Members = std::vector<Member, detail::BlockAllocator<Member>>;

/// An object: members kept sorted by key in ascending order of the keys' bytes, keys unique.
class Object {
  public:
    /// Inserts a member, replacing the value of an existing member with the same key.
    void insert(std::string_view key, Value value);
    /// The member's value, or null when the object has no such key.
    const Value* find(std::string_view key) const;

    // Defined below, where Member is complete.
    std::size_t size() const noexcept;
    bool empty() const noexcept;
    Members::const_iterator begin() const noexcept;
    Members::const_iterator end() const noexcept;

    /// Builds an object from members in any order; of equal keys the later one wins.
    static Object from_members(Members members);

    friend bool operator==(const Object& a, const Object& b);

  private:
    friend struct detail::Access;
    Members members_;
};

class Value {
  public:
    enum class Kind : std::uint8_t {
        null,
        boolean,
        uinteger,
        sinteger,
        real,
        string,
        array,
        object
    };

    Value() noexcept : bits_(0), kind_(Kind::null) {}
    // The members that construct, copy and destroy are defined below, where Member is
    // complete (an Object holds Members).
    Value(Array a) noexcept;
    Value(Object o) noexcept;
    Value(const Value& other);
    Value(Value&& other) noexcept;
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;
    ~Value();

    static Value null() noexcept;
    static Value boolean(bool b) noexcept;
    static Value from_u64(std::uint64_t u) noexcept;
    /// A non-negative integer is always held unsigned.
    static Value from_i64(std::int64_t i) noexcept;
    /// NaN and the infinities never become numbers: they give null.
    static Value from_double(double d) noexcept;
    static Value from_string(std::string_view s);
    static Value from_optional(const std::optional<std::string>& s);

    Kind kind() const noexcept { return kind_; }
    bool is_null() const noexcept { return kind_ == Kind::null; }

    // Reading a value as a kind that it does not hold throws std::bad_variant_access.
    bool as_bool() const { return expect(Kind::boolean).bits_ != 0; }
    std::uint64_t as_u64() const { return expect(Kind::uinteger).bits_; }
    std::int64_t as_i64() const { return static_cast<std::int64_t>(expect(Kind::sinteger).bits_); }
    double as_double() const { return std::bit_cast<double>(expect(Kind::real).bits_); }
    std::string_view as_string() const { return expect(Kind::string).s_.view(); }
    const String& as_string_ref() const { return expect(Kind::string).s_; }
    const Array& as_array() const { return expect(Kind::array).a_; }
    Array& as_array() { return const_cast<Value&>(expect(Kind::array)).a_; }
    const Object& as_object() const { return expect(Kind::object).o_; }
    Object& as_object() { return const_cast<Value&>(expect(Kind::object)).o_; }

    /// Equal kind and content; floats compare by bit pattern, so -0.0 differs from 0.0.
    friend bool operator==(const Value& a, const Value& b);

  private:
    friend struct detail::Access;
    const Value& expect(Kind k) const {
        if (kind_ != k) throw std::bad_variant_access();
        return *this;
    }
    /// Ends the life of the held string, array or object; the kind is left to the caller.
    void destroy() noexcept;
    /// Takes over the content of `other`, this value holding nothing; `other` is left null.
    void take(Value&& other) noexcept;
    void copy_from(const Value& other);

    // A tagged union: every scalar kind is held as the 64 bits of `bits_` (a boolean as 0 or 1,
    // a signed integer in two's complement, a double as its bit pattern), so that it moves by
    // copying them; only the last three kinds need destroying.
    union {
        std::uint64_t bits_;
        String s_;
        Array a_;
        Object o_;
    };
    Kind kind_;
};

struct Member {
    String key;
    Value value;
    friend bool operator==(const Member& a, const Member& b) {
        return a.key == b.key && a.value == b.value;
    }
};

inline std::size_t Object::size() const noexcept { return members_.size(); }
inline bool Object::empty() const noexcept { return members_.empty(); }
inline Members::const_iterator Object::begin() const noexcept { return members_.begin(); }
inline Members::const_iterator Object::end() const noexcept { return members_.end(); }

inline void Value::destroy() noexcept {
    switch (kind_) {
        case Kind::string:
            s_.~String();
            break;
        case Kind::array:
            a_.~vector();
            break;
        case Kind::object:
            o_.~Object();
            break;
        default:
            break;
    }
}

inline void Value::take(Value&& other) noexcept {
    // A range test first, not a switch: the kinds come mixed, and one branch mispredicts less
    // than a jump table does. The emptied string, array or object left in `other` owns
    // nothing, so it is let go without its destructor, and `other` becomes null.
    kind_ = other.kind_;
    if (kind_ < Kind::string) {
        bits_ = other.bits_;
        return;
    }
    if (kind_ == Kind::string) {
        new (&s_) String(std::move(other.s_));
    } else if (kind_ == Kind::array) {
        new (&a_) Array(std::move(other.a_));
    } else {
        new (&o_) Object(std::move(other.o_));
    }
    other.kind_ = Kind::null;
    other.bits_ = 0;
}

inline void Value::copy_from(const Value& other) {
    if (other.kind_ < Kind::string) {
        bits_ = other.bits_;
    } else if (other.kind_ == Kind::string) {
        new (&s_) String(other.s_);
    } else if (other.kind_ == Kind::array) {
        new (&a_) Array(other.a_);
    } else {
        new (&o_) Object(other.o_);
    }
    kind_ = other.kind_;
}

inline Value Value::from_double(double d) noexcept {
    Value v;
    // d - d is zero exactly for finite d, NaN for NaN and the infinities.
    if (d - d == 0) {
        v.bits_ = std::bit_cast<std::uint64_t>(d);
        v.kind_ = Kind::real;
    }
    return v;
}
inline Value::Value(Array a) noexcept : a_(std::move(a)), kind_(Kind::array) {}
inline Value::Value(Object o) noexcept : o_(std::move(o)), kind_(Kind::object) {}
inline Value::Value(const Value& other) : bits_(0), kind_(Kind::null) { copy_from(other); }
inline Value::Value(Value&& other) noexcept { take(std::move(other)); }
inline Value& Value::operator=(const Value& other) {
    if (this != &other) {
        Value copy(other);  // a failed copy leaves this value as it was
        *this = std::move(copy);
    }
    return *this;
}
inline Value& Value::operator=(Value&& other) noexcept {
    if (this != &other) {
        if (kind_ >= Kind::string) destroy();
        take(std::move(other));
    }
    return *this;
}
inline Value::~Value() {
    if (kind_ >= Kind::string) destroy();
}

inline Value Value::null() noexcept { return Value(); }
inline Value Value::boolean(bool b) noexcept {
    Value v;
    v.bits_ = b ? 1 : 0;
    v.kind_ = Kind::boolean;
    return v;
}
inline Value Value::from_u64(std::uint64_t u) noexcept {
    Value v;
    v.bits_ = u;
    v.kind_ = Kind::uinteger;
    return v;
}
inline Value Value::from_i64(std::int64_t i) noexcept {
    if (i >= 0) return from_u64(static_cast<std::uint64_t>(i));
    Value v;
    v.bits_ = static_cast<std::uint64_t>(i);
    v.kind_ = Kind::sinteger;
    return v;
}
inline Value Value::from_string(std::string_view s) {
    Value v;
    new (&v.s_) String(s);
    v.kind_ = Kind::string;
    return v;
}
inline Value Value::from_optional(const std::optional<std::string>& s) {
    return s ? from_string(*s) : Value();
}

}  // namespace kevro::json
