// The value model: member order, replacement, from_members, number invariants, equality.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "json/value.h"
#include "json/writer.h"

namespace kevro::json {
namespace {

std::vector<std::string> keys_of(const Object& o) {
    std::vector<std::string> keys;
    for (const Member& m : o) keys.emplace_back(m.key);
    return keys;
}

TEST(ObjectTest, InsertKeepsKeysInByteOrder) {
    Object o;
    for (const char* k : {"b", "aa", "z", "\xc3\xa9", "a", "B", "", "ab"}) {
        o.insert(k, Value::from_u64(1));
    }
    // A proper prefix sorts first; "é" (0xC3 0xA9) sorts after every ASCII key.
    EXPECT_EQ(keys_of(o),
              (std::vector<std::string>{"", "B", "a", "aa", "ab", "b", "z", "\xc3\xa9"}));
}

TEST(ObjectTest, InsertReplacesTheValueOfAnExistingKey) {
    Object o;
    o.insert("b", Value::from_u64(1));
    o.insert("a", Value::from_u64(2));
    o.insert("b", Value::from_string("x"));
    o.insert("a", Value::from_u64(3));
    EXPECT_EQ(o.size(), 2u);
    EXPECT_EQ(write_compact(Value(o)), R"({"a":3,"b":"x"})");
}

TEST(ObjectTest, KeysWithEmbeddedNulBytesCompareByAllTheirBytes) {
    Object o;
    o.insert(std::string("a\0b", 3), Value::from_u64(1));
    o.insert(std::string("a\0", 2), Value::from_u64(2));
    o.insert("a", Value::from_u64(3));
    EXPECT_EQ(keys_of(o),
              (std::vector<std::string>{"a", std::string("a\0", 2), std::string("a\0b", 3)}));
    ASSERT_NE(o.find(std::string_view("a\0", 2)), nullptr);
    EXPECT_EQ(o.find(std::string_view("a\0", 2))->as_u64(), 2u);
}

TEST(ObjectTest, FindGivesTheValueOrNull) {
    Object o;
    o.insert("k", Value::boolean(true));
    o.insert("m", Value());
    ASSERT_NE(o.find("k"), nullptr);
    EXPECT_TRUE(o.find("k")->as_bool());
    ASSERT_NE(o.find("m"), nullptr);
    EXPECT_TRUE(o.find("m")->is_null());
    EXPECT_EQ(o.find("K"), nullptr);
    EXPECT_EQ(o.find(""), nullptr);
    EXPECT_EQ(Object().find("k"), nullptr);
}

TEST(ObjectTest, FromMembersSortsAndTheLaterOfEqualKeysWins) {
    Members members;
    members.push_back({"c", Value::from_u64(1)});
    members.push_back({"a", Value::from_u64(2)});
    members.push_back({"c", Value::from_u64(3)});
    members.push_back({"b", Value::from_u64(4)});
    members.push_back({"a", Value::from_u64(5)});
    members.push_back({"c", Value::from_u64(6)});
    Object o = Object::from_members(std::move(members));
    EXPECT_EQ(write_compact(Value(o)), R"({"a":5,"b":4,"c":6})");
}

TEST(ObjectTest, FromMembersWithSortedKeysAndWithDuplicatesAtTheEnd) {
    Members sorted;
    sorted.push_back({"a", Value::from_u64(1)});
    sorted.push_back({"b", Value::from_u64(2)});
    EXPECT_EQ(write_compact(Value(Object::from_members(std::move(sorted)))), R"({"a":1,"b":2})");

    Members dup;
    dup.push_back({"a", Value::from_u64(1)});
    dup.push_back({"b", Value::from_u64(2)});
    dup.push_back({"b", Value::from_u64(3)});
    EXPECT_EQ(write_compact(Value(Object::from_members(std::move(dup)))), R"({"a":1,"b":3})");

    EXPECT_TRUE(Object::from_members({}).empty());
}

TEST(ValueTest, NumberKindsFollowTheirInvariants) {
    EXPECT_EQ(Value::from_i64(0).kind(), Value::Kind::uinteger);
    EXPECT_EQ(Value::from_i64(5).as_u64(), 5u);
    EXPECT_EQ(Value::from_i64(-1).kind(), Value::Kind::sinteger);
    EXPECT_EQ(Value::from_i64(std::numeric_limits<std::int64_t>::min()).as_i64(),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Value::from_double(1.5).kind(), Value::Kind::real);
    EXPECT_TRUE(Value::from_double(std::nan("")).is_null());
    EXPECT_TRUE(Value::from_double(std::numeric_limits<double>::infinity()).is_null());
    EXPECT_TRUE(Value::from_double(-std::numeric_limits<double>::infinity()).is_null());
    EXPECT_TRUE(Value::from_optional(std::nullopt).is_null());
    EXPECT_EQ(Value::from_optional(std::string("x")).as_string(), "x");
}

TEST(ValueTest, EqualityComparesKindAndContent) {
    EXPECT_EQ(Value(), Value::null());
    EXPECT_NE(Value::from_u64(1), Value::from_double(1.0));
    EXPECT_NE(Value::from_u64(0), Value::boolean(false));
    EXPECT_NE(Value::from_double(0.0), Value::from_double(-0.0));
    EXPECT_EQ(Value::from_double(-0.0), Value::from_double(-0.0));
    EXPECT_NE(Value::from_string("a"), Value::from_string("b"));
    EXPECT_NE(Value(Array{Value::from_u64(1)}), Value(Array{Value::from_u64(1), Value()}));

    Object a;
    a.insert("x", Value(Array{Value::from_double(0.5)}));
    Object b = a;
    EXPECT_EQ(Value(a), Value(b));
    b.insert("x", Value(Array{Value::from_double(0.25)}));
    EXPECT_NE(Value(a), Value(b));
    Object c = a;
    c.insert("y", Value());
    EXPECT_NE(Value(a), Value(c));
}

TEST(ValueTest, ReadingTheWrongKindThrows) {
    EXPECT_THROW(Value().as_bool(), std::bad_variant_access);
    EXPECT_THROW(Value::from_u64(1).as_i64(), std::bad_variant_access);
    EXPECT_THROW(Value::from_i64(-1).as_u64(), std::bad_variant_access);
    EXPECT_THROW(Value::from_u64(1).as_double(), std::bad_variant_access);
    EXPECT_THROW(Value::from_string("x").as_array(), std::bad_variant_access);
    EXPECT_THROW(Value(Array{}).as_object(), std::bad_variant_access);
    EXPECT_THROW(Value(Object{}).as_string(), std::bad_variant_access);
}

TEST(ValueTest, AssignmentReplacesKindAndContent) {
    Value v = Value::from_string(std::string(100, 'x'));
    Value other(Array{Value::from_double(-0.0), Value::from_string("s")});
    v = other;
    EXPECT_EQ(v, other);
    v = Value::from_u64(3);
    EXPECT_EQ(v.as_u64(), 3u);
    v = std::move(other);
    EXPECT_EQ(write_compact(v), R"([-0.0,"s"])");
    const Value& self = v;
    v = self;
    EXPECT_EQ(write_compact(v), R"([-0.0,"s"])");
    v = Value::boolean(false);
    EXPECT_FALSE(v.as_bool());
    Value moved(std::move(v));
    EXPECT_EQ(moved, Value::boolean(false));
}

TEST(ValueTest, CopyingCopiesTheWholeTree) {
    Object inner;
    inner.insert("k", Value::from_string("v"));
    Value original(Array{Value(inner), Value::from_i64(-3)});
    Value copy = original;
    copy.as_array()[0].as_object().insert("k", Value::from_string("changed"));
    EXPECT_EQ(write_compact(original), R"([{"k":"v"},-3])");
    EXPECT_EQ(write_compact(copy), R"([{"k":"changed"},-3])");
}

}  // namespace
}  // namespace kevro::json
