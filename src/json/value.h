// JsonValue: the in-memory JSON document (null, boolean, three number kinds, string, array,
// object with members in UTF-8 byte order of their keys). Pure C++, no Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kevro::json {

class Value;
struct Member;
namespace detail {
struct ObjectAccess;  // the parser's route for members that it has already put in order
}

using Array = std::vector<Value>;

/// An object: members kept sorted by key in ascending order of the keys' bytes, keys unique.
/// std::string compares its bytes as unsigned char, which is exactly UTF-8 byte order.
class Object {
  public:
    /// Inserts a member, replacing the value of an existing member with the same key.
    void insert(std::string key, Value value);
    /// The member's value, or null when the object has no such key.
    const Value* find(std::string_view key) const;

    // Defined below, where Member is complete.
    std::size_t size() const noexcept;
    bool empty() const noexcept;
    std::vector<Member>::const_iterator begin() const noexcept;
    std::vector<Member>::const_iterator end() const noexcept;

    /// Builds an object from members in any order; of equal keys the later one wins.
    static Object from_members(std::vector<Member> members);

    friend bool operator==(const Object& a, const Object& b);

  private:
    friend struct detail::ObjectAccess;
    std::vector<Member> members_;
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

    Value() noexcept = default;  // null
    // The constructing members are defined below, where Member is complete (the variant's
    // constructors look at every alternative, and an Object holds Members).
    Value(Array a) noexcept;
    Value(Object o) noexcept;

    static Value null() noexcept;
    static Value boolean(bool b) noexcept;
    static Value from_u64(std::uint64_t u) noexcept;
    /// A non-negative integer is always held unsigned.
    static Value from_i64(std::int64_t i) noexcept;
    /// NaN and the infinities never become numbers: they give null.
    static Value from_double(double d) noexcept;
    static Value from_string(std::string s) noexcept;
    static Value from_optional(const std::optional<std::string>& s);

    Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
    bool is_null() const noexcept { return kind() == Kind::null; }

    bool as_bool() const { return std::get<bool>(v_); }
    std::uint64_t as_u64() const { return std::get<std::uint64_t>(v_); }
    std::int64_t as_i64() const { return std::get<std::int64_t>(v_); }
    double as_double() const { return std::get<double>(v_); }
    const std::string& as_string() const { return std::get<std::string>(v_); }
    const Array& as_array() const { return std::get<Array>(v_); }
    Array& as_array() { return std::get<Array>(v_); }
    const Object& as_object() const { return std::get<Object>(v_); }
    Object& as_object() { return std::get<Object>(v_); }

    /// Equal kind and content; floats compare by bit pattern, so -0.0 differs from 0.0.
    friend bool operator==(const Value& a, const Value& b);

  private:
    // The order of the alternatives is the order of Kind.
    using Storage = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double,
                                 std::string, Array, Object>;
    explicit Value(Storage s) noexcept;
    Storage v_;
};

struct Member {
    std::string key;
    Value value;
    friend bool operator==(const Member& a, const Member& b) {
        return a.key == b.key && a.value == b.value;
    }
};

inline std::size_t Object::size() const noexcept { return members_.size(); }
inline bool Object::empty() const noexcept { return members_.empty(); }
inline std::vector<Member>::const_iterator Object::begin() const noexcept {
    return members_.begin();
}
inline std::vector<Member>::const_iterator Object::end() const noexcept { return members_.end(); }

inline Value::Value(Storage s) noexcept : v_(std::move(s)) {}
inline Value::Value(Array a) noexcept : v_(std::move(a)) {}
inline Value::Value(Object o) noexcept : v_(std::move(o)) {}
inline Value Value::null() noexcept { return Value(); }
inline Value Value::boolean(bool b) noexcept { return Value(Storage(b)); }
inline Value Value::from_u64(std::uint64_t u) noexcept { return Value(Storage(u)); }
inline Value Value::from_i64(std::int64_t i) noexcept {
    return i < 0 ? Value(Storage(i)) : Value(Storage(static_cast<std::uint64_t>(i)));
}
inline Value Value::from_string(std::string s) noexcept { return Value(Storage(std::move(s))); }
inline Value Value::from_optional(const std::optional<std::string>& s) {
    return s ? from_string(*s) : Value();
}

}  // namespace kevro::json
