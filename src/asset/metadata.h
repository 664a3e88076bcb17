// AssetMetadata and PartitionSpec: what one `asset(...)` call declared, plus the functions that
// the decorator, the wrapper and the partition marker offer one another.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "json/value.h"

namespace kevro {

/// A map from text to V that keeps its entries in the order in which their keys first arrived.
/// Putting a key that is already present replaces its value in place, as a Python dict does.
template <class V>
class OrderedMap {
  public:
    using Entry = std::pair<std::string, V>;

    void put(std::string key, V value) {
        if (index_.empty() && entries_.size() < linear_limit) {
            for (Entry& e : entries_) {
                if (e.first == key) {
                    e.second = std::move(value);
                    return;
                }
            }
        } else {
            if (index_.empty()) {
                for (std::size_t i = 0; i < entries_.size(); ++i) {
                    index_.emplace(entries_[i].first, i);
                }
            }
            auto [it, inserted] = index_.emplace(key, entries_.size());
            if (!inserted) {
                entries_[it->second].second = std::move(value);
                return;
            }
        }
        entries_.emplace_back(std::move(key), std::move(value));
    }

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    typename std::vector<Entry>::const_iterator begin() const noexcept { return entries_.begin(); }
    typename std::vector<Entry>::const_iterator end() const noexcept { return entries_.end(); }

    // Copies carry the entries only; the lookup index is rebuilt when a copy grows.
    OrderedMap() = default;
    OrderedMap(const OrderedMap& o) : entries_(o.entries_) {}
    OrderedMap& operator=(const OrderedMap& o) {
        entries_ = o.entries_;
        index_.clear();
        return *this;
    }
    OrderedMap(OrderedMap&&) noexcept = default;
    OrderedMap& operator=(OrderedMap&&) noexcept = default;

    friend bool operator==(const OrderedMap& a, const OrderedMap& b) {
        return a.entries_ == b.entries_;
    }

  private:
    // Small maps (the usual case) are searched linearly; larger ones get a hash index.
    static constexpr std::size_t linear_limit = 16;
    std::vector<Entry> entries_;
    std::unordered_map<std::string, std::size_t> index_;
};

/// One partition dimension: its kind is always "inline", its keys are kept as a JSON array.
struct PartitionSpec {
    json::Value values;  // always of kind array, in the marker's order

    friend bool operator==(const PartitionSpec& a, const PartitionSpec& b) {
        return a.values == b.values;
    }
};

/// One asset's declaration. An absent map (the argument was not given) differs from an empty one.
struct AssetMetadata {
    std::optional<std::string> name;
    std::optional<std::string> serializer;
    std::optional<OrderedMap<std::string>> inputs;  // parameter name -> asset reference string
    std::optional<OrderedMap<PartitionSpec>> partitions;  // dimension name -> its keys
};

// src/asset/wrapper.cpp
/// The `AssetWrapper` type, created on first use and kept for the life of the process.
PyTypeObject* asset_wrapper_type();
/// A new wrapper holding a strong reference to `function` and the record; null with an
/// exception set on failure.
PyObject* new_asset_wrapper(PyObject* function, AssetMetadata metadata);
/// The function held by `obj` when it is an AssetWrapper (borrowed), else null.
PyObject* asset_wrapper_function(PyObject* obj) noexcept;
/// The metadata dict that `__kevro_metadata__` returns: a new dict on every call.
PyObject* metadata_to_dict(const AssetMetadata& metadata);

// src/asset/partitions.cpp
/// The `Partitions` type, created on first use and kept for the life of the process.
PyTypeObject* partitions_type();
/// The keys held by a `Partitions` instance (`obj` must be one).
const json::Array& partitions_values(PyObject* obj);
/// The definition of the module function `partitions`.
extern PyMethodDef partitions_def;

}  // namespace kevro
