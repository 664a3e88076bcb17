// Allocation failure in the JSON core: this binary replaces the global operator new with one
// that can be told to fail its Nth allocation, and drives the parser, the writer and the value
// model through N = 1, 2, 3, ... until the operation completes. Each failure must come out as
// std::bad_alloc, leave no allocation behind, and leave the target in a state that the
// operation's contract allows.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "json/parser.h"
#include "json/value.h"
#include "json/writer.h"

namespace {

// The state of the injected allocator. The tests run on one thread.
struct Injection {
    std::size_t countdown = 0;  // allocations left until the one that fails; 0 means never
    bool fired = false;         // the armed failure happened
    std::size_t live = 0;       // allocations made through operator new and not yet freed
};
Injection injection;

/// True when this allocation is the one chosen to fail.
bool fail_now() noexcept {
    if (injection.countdown == 0) return false;
    if (--injection.countdown != 0) return false;
    injection.fired = true;
    return true;
}

void* allocate(std::size_t n) noexcept {
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p != nullptr) ++injection.live;
    return p;
}

void release(void* p) noexcept {
    if (p == nullptr) return;
    --injection.live;
    std::free(p);
}

}  // namespace

// Every allocating form that the JSON core and the standard library reach, the nothrow ones
// included (the temporary buffer of std::stable_sort asks for memory that way).
void* operator new(std::size_t n) {
    void* p = fail_now() ? nullptr : allocate(n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return fail_now() ? nullptr : allocate(n);
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept {
    return ::operator new(n, tag);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace kevro::json {
namespace {

/// Arms the allocator for one attempt: the `n`th allocation from here on fails, once.
class FailAt {
  public:
    explicit FailAt(std::size_t n) noexcept {
        injection.countdown = n;
        injection.fired = false;
    }
    FailAt(const FailAt&) = delete;
    FailAt& operator=(const FailAt&) = delete;
    ~FailAt() { injection.countdown = 0; }
    /// The chosen allocation was reached (and failed).
    bool fired() const noexcept { return injection.fired; }
};

/// What one attempt gave: whether the chosen allocation was reached, whether the operation
/// ended in std::bad_alloc, and how many allocations were left over once it was cleaned up.
struct Outcome {
    bool fired = false;
    bool threw = false;
    long leaked = 0;
};

/// Runs `attempt(n)` for n = 1, 2, ... until an attempt no longer reaches its nth allocation;
/// `attempt` sets up its own state, arms a FailAt(n) around the operation only, checks what
/// it may, and reports whether the operation threw. Returns the number of attempts in which
/// the chosen allocation failed.
template <class Attempt>
std::size_t sweep(const char* what, Attempt attempt) {
    std::size_t failures = 0;
    for (std::size_t n = 1;; ++n) {
        const std::size_t live_before = injection.live;
        Outcome outcome;
        attempt(n, outcome);
        // A failed check of the attempt holds its message on the heap: only a clean attempt
        // can be counted.
        if (::testing::Test::HasFailure()) return failures;
        outcome.leaked = static_cast<long>(injection.live) - static_cast<long>(live_before);
        EXPECT_EQ(outcome.leaked, 0) << what << ": allocation " << n << " failing";
        // Only the injected failure may be seen as std::bad_alloc.
        EXPECT_TRUE(outcome.fired || !outcome.threw) << what << ": allocation " << n;
        if (!outcome.fired || ::testing::Test::HasFailure()) return failures;
        ++failures;
    }
}

/// A document that reaches every allocating path of the parser: strings beyond the short
/// string buffer, escapes, nesting, an object whose keys arrive in order (its scratch vector
/// is handed over), a small and a large one whose keys do not (insertion sort and std::sort),
/// duplicate keys, and numbers of every kind, one of them too long for the fast routes.
std::string rich_document() {
    std::string text = R"({"zeta":[1,-2,3.25,"a string longer than the short buffer",)"
                       R"("esc\u00e9\n\"",true,false,null,[[[{"deep":[[]]}]]]],)"
                       R"("ordered":{"a":1,"b":"two and a little more text","c":[0.1]},)"
                       R"("alpha":{"y":1,"x":2,"y":3},"big":{)";
    for (int i = 39; i >= 0; --i) {
        text += "\"key number " + std::to_string(i % 37) + "\":[" + std::to_string(i) + "]";
        if (i != 0) text += ',';
    }
    text += R"(},"numbers":[18446744073709551615,-9223372036854775808,)"
            R"(1.0000000000000000000000000001,1e-400,-0.0]})";
    return text;
}

Value parse_or_die(const std::string& text) {
    Value v;
    ParseError e;
    if (!parse(text, v, e)) throw std::runtime_error(e.text());
    return v;
}

TEST(AllocationFailureTest, ParserFailsCleanlyAndLeavesTheTargetAsItWas) {
    const std::string text = rich_document();
    const Value expected = parse_or_die(text);
    const Value previous = Value::from_string("the value held before the failed parse");
    std::size_t failures = sweep("parse", [&](std::size_t n, Outcome& outcome) {
        Value out = previous;
        ParseError error;
        bool ok = false;
        {
            FailAt fail(n);
            try {
                ok = parse(text, out, error);
            } catch (const std::bad_alloc&) {
                outcome.threw = true;
            }
            outcome.fired = fail.fired();
        }
        if (outcome.threw) {
            EXPECT_EQ(out, previous) << "allocation " << n;
        } else {
            EXPECT_TRUE(ok) << error.text();
            EXPECT_EQ(out, expected) << "allocation " << n;
        }
    });
    // Every failure point was visited: the arena's chunks, the blocks too large for them, the
    // parser's scratch vectors, far more than a handful.
    EXPECT_GT(failures, 20u);
}

TEST(AllocationFailureTest, ParserRecoversForTheNextText) {
    // The failure of one parse leaves nothing behind that a later parse could trip over.
    const std::string text = rich_document();
    const Value expected = parse_or_die(text);
    sweep("parse, then parse again", [&](std::size_t n, Outcome& outcome) {
        Value out;
        ParseError error;
        {
            FailAt fail(n);
            try {
                parse(text, out, error);
            } catch (const std::bad_alloc&) {
                outcome.threw = true;
            }
            outcome.fired = fail.fired();
        }
        Value again;
        EXPECT_TRUE(parse(text, again, error));
        EXPECT_EQ(again, expected);
    });
}

TEST(AllocationFailureTest, WriterLeavesAPrefixOfItsText) {
    const Value value = parse_or_die(rich_document());
    const std::string start = "text already in the buffer: ";
    const std::string whole = start + write_compact(value);
    std::size_t failures = sweep("write_compact", [&](std::size_t n, Outcome& outcome) {
        std::string out = start;
        {
            FailAt fail(n);
            try {
                write_compact(value, out);
            } catch (const std::bad_alloc&) {
                outcome.threw = true;
            }
            outcome.fired = fail.fired();
        }
        // The buffer is trimmed to what was written: the old text, then the start of the new.
        if (outcome.threw) {
            EXPECT_LE(out.size(), whole.size());
            EXPECT_EQ(out, whole.substr(0, out.size())) << "allocation " << n;
            EXPECT_GE(out.size(), start.size());
        } else {
            EXPECT_EQ(out, whole);
        }
    });
    EXPECT_GE(failures, 1u);
}

TEST(AllocationFailureTest, FreshWriterBufferFailsCleanly) {
    const Value value = parse_or_die(rich_document());
    const std::string whole = write_compact(value);
    std::size_t failures = sweep("write_compact, new string", [&](std::size_t n, Outcome& outcome) {
        std::string out;
        {
            FailAt fail(n);
            try {
                out = write_compact(value);
            } catch (const std::bad_alloc&) {
                outcome.threw = true;
            }
            outcome.fired = fail.fired();
        }
        EXPECT_EQ(out, outcome.threw ? std::string() : whole);
    });
    EXPECT_GE(failures, 1u);
}

TEST(AllocationFailureTest, FailedCopyAssignmentLeavesBothValuesAsTheyWere) {
    const Value source = parse_or_die(rich_document());
    const Value before = parse_or_die(R"({"held":["a string longer than the short buffer"]})");
    std::size_t failures = sweep("copy assignment", [&](std::size_t n, Outcome& outcome) {
        Value target = before;
        {
            FailAt fail(n);
            try {
                target = source;
            } catch (const std::bad_alloc&) {
                outcome.threw = true;
            }
            outcome.fired = fail.fired();
        }
        EXPECT_EQ(target, outcome.threw ? before : source) << "allocation " << n;
    });
    EXPECT_GT(failures, 50u);
}

TEST(AllocationFailureTest, FailedInsertLeavesTheObjectAsItWas) {
    // Keys that arrive out of order: each insertion goes into the middle of the members.
    const std::vector<std::string> keys = {"m key that is long enough", "c", "x", "a", "q"};
    std::size_t failures = sweep("Object::insert", [&](std::size_t n, Outcome& outcome) {
        Object object;
        Object expected;
        std::size_t inserted = 0;
        {
            FailAt fail(n);
            try {
                for (const std::string& key : keys) {
                    object.insert(key, Value::from_string(key + " as a value, also long"));
                    ++inserted;
                }
            } catch (const std::bad_alloc&) {
                outcome.threw = true;
            }
            outcome.fired = fail.fired();
        }
        // The keys inserted before the failure, and no other.
        for (std::size_t i = 0; i < inserted; ++i) {
            expected.insert(keys[i], Value::from_string(keys[i] + " as a value, also long"));
        }
        EXPECT_EQ(object, expected) << "allocation " << n;
    });
    EXPECT_GE(failures, keys.size());
}

TEST(AllocationFailureTest, FromMembersSortsWithoutItsScratchBuffer) {
    // The stable sort asks for a scratch buffer without throwing; refused, it sorts in place.
    Members members;
    for (int i = 0; i < 40; ++i) {
        members.push_back(Member{"k" + std::to_string((i * 7) % 23), Value::from_u64(i)});
    }
    Object expected;
    for (const Member& m : members) expected.insert(m.key, m.value);
    std::size_t failures = sweep("Object::from_members", [&](std::size_t n, Outcome& outcome) {
        Members input = members;
        Object object;
        {
            FailAt fail(n);
            try {
                object = Object::from_members(std::move(input));
            } catch (const std::bad_alloc&) {
                outcome.threw = true;
            }
            outcome.fired = fail.fired();
        }
        EXPECT_FALSE(outcome.threw) << "allocation " << n;
        EXPECT_EQ(object, expected) << "allocation " << n;
    });
    EXPECT_GE(failures, 1u);
}

}  // namespace
}  // namespace kevro::json
