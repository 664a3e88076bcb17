// The JSON value model: objects kept in key byte order, number invariants, equality.
#include "json/value.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kevro::json {

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

Object Object::from_members(std::vector<Member> members) {
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
